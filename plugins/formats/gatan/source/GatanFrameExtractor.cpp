#include "GatanFrameExtractor.h"

#include "GatanExtractor.h"
#include "GatanFrameDescription.h"
#include "InternalPluginLogger.h"
#include "ViewOriginExtensionImpl.h"

#include <cstring>
#include <string>
#include <utility>

GatanFrameExtractor::GatanFrameExtractor(std::shared_ptr<GatanHandle> handle,
                                         std::shared_ptr<velmora::MetadataNode> imageData,
                                         velmora::View* parent, std::size_t imageIndex)
    : m_handle(std::move(handle)) {
    m_metadata = m_handle->metadata;
    if (auto instance = InternalPluginLogger::instance()) {
        instance->logger()->log(spdlog::source_loc{__FILE__, __LINE__, static_cast<const char*>(__func__)},
                                spdlog::level::debug, "Parsing ImageData tag to extract frame info");
    }
    m_capabilities = 1;

    GatanFrameDescription description = describeFrame(imageData, imageIndex);
    m_shape = std::move(description.shape);
    m_dataType = description.dataType;
    m_indexer = std::move(description.layout);
    m_dataOffset = description.dataOffset;
    m_properties = std::move(description.properties);

    loadPixels();

    auto record = std::make_shared<ViewOriginExtensionImpl>(viewOriginName(), parent);
    m_extensionRegister.add(velmora::VIEW_ORIGIN_EXTENSION, record);
}

GatanFrameExtractor::~GatanFrameExtractor() = default;

std::string GatanFrameExtractor::viewOriginName() {
    return std::string(GatanExtractor::PluginName) + " frame Extractor";
}

void GatanFrameExtractor::loadPixels() {
    // The buffer is not zero-filled on allocation: the read overwrites it, and only the bytes a
    // truncated file does not deliver are cleared afterwards.
    m_buffer.allocate(m_indexer.byteCount());
    seekFromStart(*m_handle, m_dataOffset);
    const std::uint64_t delivered =
        m_buffer.empty() ? 0 : readAvailable(*m_handle, m_buffer.size(), m_buffer.data());
    // Freshly mapped large buffers are zero already; small ones come from malloc.
    if (delivered < m_buffer.size() && m_buffer.size() < PixelBufferAllocator<std::uint8_t>::MapThreshold) {
        std::memset(m_buffer.data() + delivered, 0, m_buffer.size() - delivered);
    }
}

void GatanFrameExtractor::readRegion(const velmora::RegionX<std::size_t>& region, void* destination) {
    velmora::RegionCopier copier(m_indexer, region, m_dataType);
    copier.copy(m_buffer.data(), static_cast<std::uint8_t*>(destination));
}
