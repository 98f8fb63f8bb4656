#include "velmora/Indexer.h"

#include "velmora/Error.h"

#include <algorithm>
#include <fmt/format.h>

namespace velmora {

namespace {

std::size_t checkedMultiply(std::size_t a, std::size_t b, const char* what) {
    std::size_t result = 0;
    if (__builtin_mul_overflow(a, b, &result)) {
        throw InvalidArgument(fmt::format("array layout: {} overflows 64 bits", what));
    }
    return result;
}

std::size_t checkedAdd(std::size_t a, std::size_t b, const char* what) {
    std::size_t result = 0;
    if (__builtin_add_overflow(a, b, &result)) {
        throw InvalidArgument(fmt::format("array layout: {} overflows 64 bits", what));
    }
    return result;
}

void checkType(DataType type) {
    if (!type.isValid()) {
        throw InvalidArgument(fmt::format("array layout: invalid data type {}", type.name()));
    }
}

std::size_t countElements(const VectorX<std::size_t>& shape) {
    if (std::find(shape.begin(), shape.end(), std::size_t{0}) != shape.end()) {
        return 0;
    }
    std::size_t count = 1;
    for (std::size_t length : shape) {
        count = checkedMultiply(count, length, "the element count");
    }
    return count;
}

// Offset one past the last byte of the last element: sum of (length - 1) x stride, plus one element.
std::size_t countBytes(const VectorX<std::size_t>& shape, const VectorX<std::size_t>& strides,
                       std::size_t elementSize, std::size_t elementCount) {
    if (elementCount == 0) {
        return 0;
    }
    // The array spans its last element, and each axis spans length x stride: a padded layout
    // (colour pixels of 3 bytes in 4) owns the padding of its last element too.
    std::size_t last = 0;
    std::size_t span = 0;
    for (std::size_t axis = 0; axis < shape.size(); ++axis) {
        last = checkedAdd(last, checkedMultiply(shape[axis] - 1, strides[axis], "the byte count"),
                          "the byte count");
        span = std::max(span, checkedMultiply(shape[axis], strides[axis], "the byte count"));
    }
    return std::max(span, checkedAdd(last, elementSize, "the byte count"));
}

} // namespace

Indexer::Indexer(const VectorX<std::size_t>& shape, DataType type) : m_shape(shape), m_type(type) {
    checkType(type);
    m_strides.resize(shape.size());
    std::size_t stride = type.elementSize();
    for (std::size_t axis = 0; axis < shape.size(); ++axis) {
        m_strides[axis] = stride;
        if (axis + 1 < shape.size()) {
            stride = checkedMultiply(stride, shape[axis], "a stride");
        }
    }
    m_elementCount = countElements(shape);
    m_byteCount = countBytes(m_shape, m_strides, type.elementSize(), m_elementCount);
}

Indexer::Indexer(const VectorX<std::size_t>& shape, DataType type, const VectorX<std::size_t>& strides)
    : m_shape(shape), m_strides(strides), m_type(type) {
    checkType(type);
    if (strides.size() != shape.size()) {
        throw InvalidArgument(
            fmt::format("array layout: {} strides given for {} axes", strides.size(), shape.size()));
    }
    m_elementCount = countElements(shape);
    m_byteCount = countBytes(m_shape, m_strides, type.elementSize(), m_elementCount);
    if (m_elementCount == 0) {
        return; // no element, nothing can overlap
    }

    // Elements overlap unless, with the axes taken in order of increasing stride, every stride
    // reaches past the extent of all axes below it. Axes of length 1 never step and do not count.
    std::vector<std::size_t> order;
    for (std::size_t axis = 0; axis < shape.size(); ++axis) {
        if (shape[axis] > 1) {
            order.push_back(axis);
        }
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return strides[a] < strides[b]; });
    std::size_t extent = type.elementSize();
    for (std::size_t axis : order) {
        if (strides[axis] < extent) {
            throw InvalidArgument(fmt::format(
                "array layout: stride {} of axis {} is smaller than the {} bytes its elements need",
                strides[axis], axis, extent));
        }
        extent = checkedAdd(checkedMultiply(shape[axis] - 1, strides[axis], "the byte count"), extent,
                            "the byte count");
    }
}

std::size_t Indexer::offset(const VectorX<std::size_t>& index) const {
    std::size_t result = 0;
    const std::size_t n = std::min(index.size(), m_strides.size());
    for (std::size_t axis = 0; axis < n; ++axis) {
        result += index[axis] * m_strides[axis];
    }
    return result;
}

bool Indexer::isPacked() const {
    std::size_t stride = m_type.elementSize();
    for (std::size_t axis = 0; axis < m_shape.size(); ++axis) {
        // The stride of an axis of length 1 is never used, so any value leaves the layout packed.
        if (m_shape[axis] != 1 && m_strides[axis] != stride) {
            return false;
        }
        if (axis + 1 < m_shape.size() && __builtin_mul_overflow(stride, m_shape[axis], &stride)) {
            return false;
        }
    }
    return true;
}

} // namespace velmora
