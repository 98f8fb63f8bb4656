#include "velmora/ImageView.h"

#include "velmora/Error.h"

#include <fmt/format.h>

namespace velmora {

namespace {

[[noreturn]] void refuse(const char* operation) {
    throw Error(fmt::format("view is read-only: it does not support {}", operation));
}

void checkFrameIndex(std::size_t index, std::size_t count) {
    if (index >= count) {
        throw InvalidArgument(
            fmt::format("frame index {} is out of range: the view has {} frames", index, count));
    }
}

} // namespace

ImageView::~ImageView() = default;

void ImageView::read(const VectorX<std::size_t>& index, void* destination) {
    readRegion(RegionX<std::size_t>(index, VectorX<std::size_t>(index.size(), 1)), destination);
}

void ImageView::readRegion(const RegionX<std::size_t>& region, void* destination) {
    const void* source = bufferReadOnly();
    if (source == nullptr) {
        throw Error("view has no readable buffer");
    }
    const Indexer layout = indexer();
    if (bufferSize() < layout.byteCount()) {
        throw Error(fmt::format("view buffer holds {} bytes but its layout needs {}", bufferSize(),
                                layout.byteCount()));
    }
    const RegionCopier copier(layout, region, dataType());
    copier.copy(static_cast<const std::uint8_t*>(source), static_cast<std::uint8_t*>(destination));
}

void ImageView::setProperties(std::shared_ptr<const ImageProperties>) {
    refuse("replacing its properties");
}

void ImageView::setMetadata(std::shared_ptr<MetadataNode>) {
    refuse("replacing its metadata");
}

void ImageView::write(const VectorX<std::size_t>&, const void*) {
    refuse("write");
}

void ImageView::writeRegion(const RegionX<std::size_t>&, const void*) {
    refuse("writeRegion");
}

void ImageView::reshape(const VectorX<std::size_t>&, DataType) {
    refuse("reshape");
}

Indexer ImageView::indexer() {
    return Indexer(shape(), dataType());
}

void* ImageView::buffer() {
    return nullptr;
}

const void* ImageView::bufferReadOnly() const {
    return nullptr;
}

std::size_t ImageView::bufferSize() const {
    return 0;
}

MultiImageView::~MultiImageView() = default;

std::size_t MultiImageView::frameCount() const {
    return m_defaultFrames.size();
}

std::shared_ptr<ImageView> MultiImageView::frame(std::size_t index) {
    checkFrameIndex(index, frameCount());
    return m_defaultFrames[index];
}

std::shared_ptr<MetadataNode> MultiImageView::metadata() const {
    return m_defaultMetadata;
}

void MultiImageView::addFrame(std::shared_ptr<ImageView> frame) {
    if (!frame) {
        throw InvalidArgument("cannot add a null frame");
    }
    m_defaultFrames.push_back(std::move(frame));
}

void MultiImageView::setFrame(std::size_t index, std::shared_ptr<ImageView> frame) {
    checkFrameIndex(index, m_defaultFrames.size());
    if (!frame) {
        throw InvalidArgument("cannot set a null frame");
    }
    m_defaultFrames[index] = std::move(frame);
}

void MultiImageView::removeFrame(std::size_t index) {
    checkFrameIndex(index, m_defaultFrames.size());
    m_defaultFrames.erase(m_defaultFrames.begin() + static_cast<std::ptrdiff_t>(index));
}

void MultiImageView::setMetadata(std::shared_ptr<MetadataNode> metadata) {
    m_defaultMetadata = std::move(metadata);
}

} // namespace velmora
