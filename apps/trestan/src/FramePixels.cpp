#include "FramePixels.h"

#include "velmora/Error.h"

#include <new>
#include <unistd.h>

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

// Bytes of memory the machine has, or 0 when it cannot tell.
std::uint64_t physicalMemory() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGE_SIZE);
    return pages > 0 && pageSize > 0
               ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize)
               : 0;
}

std::string pixelsText(const velmora::VectorX<std::size_t>& shape, velmora::DataType type) {
    std::string text;
    for (std::size_t length : shape) {
        text += (text.empty() ? "" : " x ") + std::to_string(length);
    }
    return "its " + (text.empty() ? std::string("scalar") : text) + " " + type.name() + " pixels";
}

} // namespace

FramePixels FramePixels::read(velmora::ImageView& frame) {
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
    // A file may declare an image far larger than itself (its missing pixels read as zeros): one
    // that the machine cannot hold is refused before memory is asked for, and saying so beats a bare
    // allocation failure.
    const std::size_t bytes = byteCount(pixels.m_shape, pixels.m_dataType);
    const std::uint64_t memory = physicalMemory();
    if (memory != 0 && bytes > memory) {
        throw velmora::Error(pixelsText(pixels.m_shape, pixels.m_dataType) + " need " +
                             std::to_string(bytes) + " bytes of memory, more than the " +
                             std::to_string(memory) + " this machine has");
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
