#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <vector>

namespace velmora {

/// A fixed-size vector of N components.
template <typename T, std::size_t N> class Vector {
public:
    constexpr Vector() = default;
    constexpr Vector(std::initializer_list<T> values) {
        std::size_t i = 0;
        for (const T& v : values) {
            if (i == N) {
                break;
            }
            m_data[i++] = v;
        }
    }

    /// A vector with every component equal to `value`.
    static constexpr Vector createUniform(T value) {
        Vector v;
        v.m_data.fill(value);
        return v;
    }

    static constexpr std::size_t size() { return N; }
    constexpr T& operator[](std::size_t i) { return m_data[i]; }
    constexpr const T& operator[](std::size_t i) const { return m_data[i]; }
    constexpr const T* data() const { return m_data.data(); }
    constexpr auto begin() const { return m_data.begin(); }
    constexpr auto end() const { return m_data.end(); }

    friend constexpr bool operator==(const Vector&, const Vector&) = default;

private:
    std::array<T, N> m_data{};
};

/// A vector whose length is chosen at run time: shapes, indices, strides.
template <typename T> class VectorX {
public:
    VectorX() = default;
    explicit VectorX(std::size_t size, T value = T{}) : m_data(size, value) {}
    VectorX(std::initializer_list<T> values) : m_data(values) {}
    explicit VectorX(std::vector<T> values) : m_data(std::move(values)) {}

    std::size_t size() const { return m_data.size(); }
    bool empty() const { return m_data.empty(); }
    T& operator[](std::size_t i) { return m_data[i]; }
    const T& operator[](std::size_t i) const { return m_data[i]; }
    T* data() { return m_data.data(); }
    const T* data() const { return m_data.data(); }
    auto begin() { return m_data.begin(); }
    auto end() { return m_data.end(); }
    auto begin() const { return m_data.begin(); }
    auto end() const { return m_data.end(); }
    void resize(std::size_t size, T value = T{}) { m_data.resize(size, value); }
    void push_back(T value) { m_data.push_back(value); }
    const std::vector<T>& values() const { return m_data; }

    friend bool operator==(const VectorX&, const VectorX&) = default;

private:
    std::vector<T> m_data;
};

/// An axis-aligned box of an n-dimensional array: a start index and a size per axis.
template <typename T> class RegionX {
public:
    RegionX() = default;
    RegionX(VectorX<T> offset, VectorX<T> size) : m_offset(std::move(offset)), m_size(std::move(size)) {}

    /// The region covering a whole array of the given shape.
    static RegionX whole(const VectorX<T>& shape) { return RegionX(VectorX<T>(shape.size(), T{}), shape); }

    const VectorX<T>& offset() const { return m_offset; }
    const VectorX<T>& size() const { return m_size; }
    std::size_t dimensions() const { return m_size.size(); }

    /// Number of elements inside the region (1 for a region of no axes).
    T elementCount() const {
        T n = 1;
        for (const T& s : m_size) {
            n *= s;
        }
        return n;
    }

    friend bool operator==(const RegionX&, const RegionX&) = default;

private:
    VectorX<T> m_offset;
    VectorX<T> m_size;
};

} // namespace velmora
