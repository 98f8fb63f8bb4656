#pragma once

#include "velmora/DataType.h"
#include "velmora/ImageProperties.h"
#include "velmora/Indexer.h"
#include "velmora/Vector.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace velmora {

/// A frame as a file stores it: what a host needs to describe it and to find its pixels on disk
/// without reading them.
struct StoredFrame {
    /// Position in the file, which is the plugin's frame index.
    std::size_t index = 0;
    /// One length per axis, axis 0 (the fastest-varying in the file) first.
    VectorX<std::size_t> shape;
    /// The element type of the plugin's frame: what its region read delivers per element.
    DataType dataType;
    /// The stored pixels: shape, stored element type and byte strides (colour may take 4 bytes).
    /// RegionCopier(layout, region, dataType) over the stored bytes gives the plugin's region read.
    Indexer layout;
    /// Absolute file offset of the first pixel byte.
    std::uint64_t offset = 0;
    /// Bytes the stored pixels take (layout.byteCount()).
    std::uint64_t byteCount = 0;
    /// How many of those bytes the file holds; empty when that is not known.
    std::optional<std::uint64_t> bytesInFile;
    /// Interpretation, bit depth, value range and calibration, as the plugin's frame has them.
    ImageProperties properties;

    /// True when the file is known to end inside the pixels.
    bool truncated() const { return bytesInFile && *bytesInFile < byteCount; }
};

} // namespace velmora
