#include "FramePixels.h"

#include "velmora/Error.h"

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
    pixels.m_bytes.resize(byteCount(pixels.m_shape, pixels.m_dataType));
    if (!pixels.m_bytes.empty()) {
        frame.readRegion(velmora::RegionX<std::size_t>::whole(pixels.m_shape), pixels.m_bytes.data());
    }
    return pixels;
}

} // namespace trestan::cli
