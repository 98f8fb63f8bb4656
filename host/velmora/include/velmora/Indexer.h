#pragma once

#include "velmora/DataType.h"
#include "velmora/Export.h"
#include "velmora/Vector.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora {

/// Memory layout of an n-dimensional array: its shape, element type and the byte stride of each
/// axis. The packed layout has axis 0 fastest (stride 0 = element size, stride k = stride k-1 x
/// shape k-1); explicit strides describe padded layouts such as 4-byte colour pixels with 3 used bytes.
class VELMORA_API Indexer {
public:
    Indexer() = default;
    /// Packed layout. Throws velmora::InvalidArgument when the data type is not valid or when a
    /// stride or the byte count overflows 64 bits.
    Indexer(const VectorX<std::size_t>& shape, DataType type);
    /// Explicit byte strides, one per axis. Throws velmora::InvalidArgument for an invalid data type,
    /// when their number differs
    /// from the number of axes, when a stride is smaller than needed to keep the elements of its axis
    /// from overlapping, or when the byte count overflows 64 bits.
    Indexer(const VectorX<std::size_t>& shape, DataType type, const VectorX<std::size_t>& strides);

    const VectorX<std::size_t>& shape() const { return m_shape; }
    const VectorX<std::size_t>& strides() const { return m_strides; }
    DataType dataType() const { return m_type; }
    std::size_t dimensions() const { return m_shape.size(); }

    /// Number of elements (1 for zero axes, 0 when an axis has length 0).
    std::size_t elementCount() const { return m_elementCount; }

    /// Bytes the array occupies: the largest of one past the last byte of its last element and,
    /// for every axis, length x stride, so that a padded layout includes the padding of its last
    /// element (0 when the array is empty).
    std::size_t byteCount() const { return m_byteCount; }

    /// Byte offset of the element at `index`; the index is not checked.
    std::size_t offset(const VectorX<std::size_t>& index) const;

    /// True when the layout is the packed one.
    bool isPacked() const;

private:
    VectorX<std::size_t> m_shape;
    VectorX<std::size_t> m_strides;
    DataType m_type;
    std::size_t m_elementCount = 1;
    std::size_t m_byteCount = 0;
};

/// Copies an n-dimensional region out of an array laid out by an Indexer into a packed destination
/// (axis 0 fastest, the region's own shape). Prepared once, used for any number of copies.
class VELMORA_API RegionCopier {
public:
    /// `type` gives the bytes copied per element (its elementSize(), which may be less than the
    /// stride, as for 3-byte colour elements stored in 4). Throws velmora::InvalidArgument when the
    /// region does not have one entry per axis, lies partly or wholly outside the array's shape (the
    /// message names the axis), or when `type` is invalid or wider than the indexer's element type.
    RegionCopier(const Indexer& indexer, const RegionX<std::size_t>& region, DataType type);

    /// Copies the region from `source` (laid out as the indexer says) to `destination`, which has
    /// room for destinationSize() bytes.
    void copy(const std::uint8_t* source, std::uint8_t* destination) const;

    /// Bytes written by copy().
    std::size_t destinationSize() const { return m_destinationSize; }

private:
    struct Axis {
        std::size_t count;
        std::size_t sourceStride;
    };
    // Axes after merging runs that are contiguous in the source; m_axes[0] is the innermost.
    std::vector<Axis> m_axes;
    std::size_t m_sourceStart = 0;
    std::size_t m_elementSize = 0;
    std::size_t m_innerBytes = 0; ///< bytes per memcpy when the innermost axis is contiguous, else 0
    std::size_t m_destinationSize = 0;
};

} // namespace velmora
