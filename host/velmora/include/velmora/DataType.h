#pragma once

#include "velmora/Export.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora {

/// Identifier of an element type, as a 64-bit number: bits 0-7 bits per component, bits 8-15 number
/// of components, bits 16-31 kind of number (1 unsigned integer, 2 signed integer, 3 floating point),
/// bit 32 complex (two components: real and imaginary part).
enum class DataTypeId : std::uint64_t {
    Unknown = 0,
    UInt8 = 0x10108,
    Int8 = 0x20108,
    UInt16 = 0x10110,
    Int16 = 0x20110,
    UInt32 = 0x10120,
    Int32 = 0x20120,
    UInt64 = 0x10140,
    Int64 = 0x20140,
    Float32 = 0x30120,
    Float64 = 0x30140,
    Complex64 = 0x100030220,
    Complex128 = 0x100030240,
    RGB8 = 0x10308,
    RGBA8 = 0x10408,
};

/// Kind of number of a data type (bits 16-31 of its identifier).
enum class PrimitiveKind : std::uint32_t {
    Unknown = 0,
    UnsignedInteger = 1,
    SignedInteger = 2,
    FloatingPoint = 3,
};

/// An element type decoded from its DataTypeId. Any identifier can be held; `isValid` tells whether
/// it describes a real element (known kind, bits 1 to 64, at least one component, none of the
/// reserved bits 33 to 63 set).
class VELMORA_API DataType {
public:
    constexpr DataType() = default;
    constexpr explicit DataType(DataTypeId id) : m_id(id) {}

    constexpr DataTypeId id() const { return m_id; }
    constexpr std::uint64_t value() const { return static_cast<std::uint64_t>(m_id); }
    constexpr std::uint32_t bitsPerComponent() const { return static_cast<std::uint32_t>(value() & 0xFF); }
    constexpr std::uint32_t components() const { return static_cast<std::uint32_t>((value() >> 8) & 0xFF); }
    constexpr PrimitiveKind kind() const { return static_cast<PrimitiveKind>((value() >> 16) & 0xFFFF); }
    constexpr bool isComplex() const { return ((value() >> 32) & 1) != 0; }

    /// Bytes of one element: the bit count rounded up to whole bytes, ((bits x components - 1) / 8) + 1.
    /// 0 for the unknown type.
    constexpr std::size_t elementSize() const {
        const std::uint64_t bits = std::uint64_t{bitsPerComponent()} * components();
        return bits == 0 ? 0 : static_cast<std::size_t>((bits - 1) / 8 + 1);
    }

    bool isValid() const;

    /// Short lower-case name: "uint8", "float32", "complex64", "rgb8", ...; "unknown" or the
    /// identifier in hexadecimal for types without a name.
    std::string name() const;

    friend constexpr bool operator==(DataType a, DataType b) { return a.m_id == b.m_id; }

private:
    DataTypeId m_id = DataTypeId::Unknown;
};

} // namespace velmora
