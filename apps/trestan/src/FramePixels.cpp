#include "FramePixels.h"

#include "MemoryHeadroom.h"
#include "velmora/Error.h"

#include <new>

namespace trestan::cli {

std::size_t FramePixels::elementCount(const velmora::VectorX<std::size_t>& shape) {
    std::size_t count = 1;
    for (std::size_t length : shape) {
        if (__builtin_mul_overflow(count, length, &count)) {
            throw velmora::Error("frame of " + std::to_string(shape.size()) +
                                 " axes is too large to hold in memory");
        }
    }
    return count;
}

std::size_t FramePixels::byteCount(const velmora::VectorX<std::size_t>& shape, velmora::DataType type) {
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(elementCount(shape), type.elementSize(), &bytes)) {
        throw velmora::Error("frame of " + std::to_string(shape.size()) +
                             " axes is too large to hold in memory");
    }
    return bytes;
}

namespace {

std::string pixelsText(const velmora::VectorX<std::size_t>& shape, velmora::DataType type) {
    std::string text;
    for (std::size_t length : shape) {
        text += (text.empty() ? "" : " x ") + std::to_string(length);
    }
    return "its " + (text.empty() ? std::string("scalar") : text) + " " + type.name() + " pixels";
}

} // namespace

FramePixels FramePixels::read(velmora::ImageView& frame, std::size_t workingBytes) {
    FramePixels pixels;
    pixels.m_shape = frame.shape();
    pixels.m_dataType = frame.dataType();
    pixels.m_properties = frame.properties();
    if (!pixels.m_properties) {
        throw velmora::Error("frame has no image properties");
    }
    if (!pixels.m_dataType.isValid() || pixels.m_dataType.elementSize() == 0) {
        throw velmora::Error("frame has no valid data type (" + pixels.m_dataType.name() + ")");
    }
    pixels.m_elementCount = elementCount(pixels.m_shape);
    // A file may declare an image far larger than itself (its missing pixels read as zeros): what
    // this process cannot hold now is refused before memory is asked for, and saying so beats a bare
    // allocation failure, or the kernel ending the process when the pages are touched.
    const std::size_t bytes = byteCount(pixels.m_shape, pixels.m_dataType);
    const std::uint64_t needed = std::uint64_t{bytes} + workingBytes;
    if (const std::optional<app::MemoryHeadroom> headroom = app::MemoryHeadroom::now();
        headroom && needed > headroom->bytes) {
        throw velmora::Error(pixelsText(pixels.m_shape, pixels.m_dataType) + " need " +
                             std::to_string(needed) + " bytes of memory, more than the " +
                             std::to_string(headroom->bytes) + " " + headroom->bound);
    }
    try {
        pixels.m_bytes.resize(bytes);
    } catch (const std::bad_alloc&) {
        throw velmora::Error(pixelsText(pixels.m_shape, pixels.m_dataType) + " need " +
                             std::to_string(bytes) + " bytes of memory, which could not be allocated");
    }
    if (!pixels.m_bytes.empty()) {
        frame.readRegion(velmora::RegionX<std::size_t>::whole(pixels.m_shape), pixels.m_bytes.data());
    }
    return pixels;
}

} // namespace trestan::cli
