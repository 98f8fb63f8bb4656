#pragma once

#include "velmora/ImageView.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace trestan::cli {

/// The pixels of a whole frame as its readRegion returns them: packed, axis 0 fastest, one element
/// of dataType().elementSize() bytes per position (colour: 3 bytes per pixel).
class FramePixels {
public:
    /// Reads the whole of `frame`. Fails with velmora::Error, before it allocates, when its pixels
    /// and `workingBytes` more (what the caller needs besides) do not fit in the memory this process
    /// can still take (MemoryHeadroom).
    static FramePixels read(velmora::ImageView& frame, std::size_t workingBytes = 0);

    /// Number of elements of a frame of this shape, or velmora::Error on overflow.
    static std::size_t elementCount(const velmora::VectorX<std::size_t>& shape);
    /// Bytes of a whole-frame region of this shape and type, or velmora::Error on overflow.
    static std::size_t byteCount(const velmora::VectorX<std::size_t>& shape, velmora::DataType type);

    const velmora::VectorX<std::size_t>& shape() const { return m_shape; }
    velmora::DataType dataType() const { return m_dataType; }
    const std::shared_ptr<velmora::ImageProperties>& properties() const { return m_properties; }
    const std::vector<std::uint8_t>& bytes() const { return m_bytes; }
    std::size_t elementCount() const { return m_elementCount; }

private:
    velmora::VectorX<std::size_t> m_shape;
    velmora::DataType m_dataType;
    std::shared_ptr<velmora::ImageProperties> m_properties;
    std::vector<std::uint8_t> m_bytes;
    std::size_t m_elementCount = 0;
};

} // namespace trestan::cli
