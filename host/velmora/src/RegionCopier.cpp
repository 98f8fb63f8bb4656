#include "velmora/Error.h"
#include "velmora/Indexer.h"

#include <cstring>
#include <fmt/format.h>

namespace velmora {

namespace {

// Copies `count` elements of a fixed size `Size` spaced `stride` bytes apart in the source into
// consecutive elements of the destination. A fixed size lets the compiler turn each memcpy into
// one or two moves.
template <std::size_t Size>
std::uint8_t* copyElements(const std::uint8_t* source, std::size_t count, std::size_t stride,
                           std::uint8_t* destination) {
    for (std::size_t i = 0; i < count; ++i) {
        std::memcpy(destination, source + i * stride, Size);
        destination += Size;
    }
    return destination;
}

std::uint8_t* copyElements(const std::uint8_t* source, std::size_t count, std::size_t stride,
                           std::size_t elementSize, std::uint8_t* destination) {
    switch (elementSize) {
    case 1:
        return copyElements<1>(source, count, stride, destination);
    case 2:
        return copyElements<2>(source, count, stride, destination);
    case 3:
        return copyElements<3>(source, count, stride, destination);
    case 4:
        return copyElements<4>(source, count, stride, destination);
    case 8:
        return copyElements<8>(source, count, stride, destination);
    case 16:
        return copyElements<16>(source, count, stride, destination);
    default:
        for (std::size_t i = 0; i < count; ++i) {
            std::memcpy(destination, source + i * stride, elementSize);
            destination += elementSize;
        }
        return destination;
    }
}

} // namespace

RegionCopier::RegionCopier(const Indexer& indexer, const RegionX<std::size_t>& region, DataType type) {
    const std::size_t dimensions = indexer.dimensions();
    if (region.offset().size() != dimensions || region.size().size() != dimensions) {
        throw InvalidArgument(fmt::format("region has {} offsets and {} sizes, but the array has {} axes",
                                          region.offset().size(), region.size().size(), dimensions));
    }
    if (!type.isValid()) {
        throw InvalidArgument(fmt::format("region copy: invalid data type {}", type.name()));
    }
    m_elementSize = type.elementSize();
    if (m_elementSize > indexer.dataType().elementSize()) {
        throw InvalidArgument(
            fmt::format("region copy: elements of {} ({} bytes) do not fit the {} bytes of {}", type.name(),
                        m_elementSize, indexer.dataType().elementSize(), indexer.dataType().name()));
    }

    const auto& shape = indexer.shape();
    const auto& strides = indexer.strides();
    std::size_t elementCount = 1;
    for (std::size_t axis = 0; axis < dimensions; ++axis) {
        const std::size_t offset = region.offset()[axis];
        const std::size_t size = region.size()[axis];
        std::size_t end = 0;
        if (__builtin_add_overflow(offset, size, &end)) {
            throw InvalidArgument(
                fmt::format("region axis {}: offset {} plus size {} overflows", axis, offset, size));
        }
        if (end > shape[axis]) {
            throw InvalidArgument(fmt::format("region axis {}: [{}, {}) lies outside the array's length {}",
                                              axis, offset, end, shape[axis]));
        }
        elementCount *= size; // bounded by the array's element count, which the indexer checked
    }
    if (elementCount == 0) {
        return; // nothing to copy; destinationSize() stays 0
    }
    m_destinationSize = elementCount * m_elementSize;
    m_sourceStart = indexer.offset(region.offset());

    // Axes of length 1 only move the start; an axis that continues exactly where the one below it
    // ends is merged into it, so a region that is contiguous in the source becomes one long run.
    for (std::size_t axis = 0; axis < dimensions; ++axis) {
        const std::size_t count = region.size()[axis];
        if (count == 1) {
            continue;
        }
        if (!m_axes.empty()) {
            Axis& below = m_axes.back();
            std::size_t reach = 0;
            if (!__builtin_mul_overflow(below.count, below.sourceStride, &reach) && reach == strides[axis]) {
                below.count *= count;
                continue;
            }
        }
        m_axes.push_back({count, strides[axis]});
    }
    if (m_axes.empty()) {
        m_axes.push_back({1, m_elementSize});
    }
    if (m_axes.front().sourceStride == m_elementSize) {
        m_innerBytes = m_axes.front().count * m_elementSize;
    }
}

void RegionCopier::copy(const std::uint8_t* source, std::uint8_t* destination) const {
    if (m_destinationSize == 0) {
        return;
    }
    const std::uint8_t* start = source + m_sourceStart;
    const Axis& inner = m_axes.front();
    const std::size_t outerAxes = m_axes.size() - 1;
    if (outerAxes == 0) {
        if (m_innerBytes != 0) {
            std::memcpy(destination, start, m_innerBytes);
        } else {
            copyElements(start, inner.count, inner.sourceStride, m_elementSize, destination);
        }
        return;
    }

    // Odometer over the outer axes; each step copies one run of the innermost axis. The offset is
    // kept as a number: stepping back after the last run of an axis may pass through values that
    // would point outside the source.
    std::vector<std::size_t> counters(outerAxes, 0);
    std::size_t offset = 0;
    for (;;) {
        const std::uint8_t* run = start + offset;
        if (m_innerBytes != 0) {
            std::memcpy(destination, run, m_innerBytes);
            destination += m_innerBytes;
        } else {
            destination = copyElements(run, inner.count, inner.sourceStride, m_elementSize, destination);
        }
        std::size_t level = 0;
        for (; level < outerAxes; ++level) {
            const Axis& axis = m_axes[level + 1];
            if (++counters[level] < axis.count) {
                offset += axis.sourceStride;
                break;
            }
            offset -= axis.sourceStride * (axis.count - 1);
            counters[level] = 0;
        }
        if (level == outerAxes) {
            return;
        }
    }
}

} // namespace velmora
