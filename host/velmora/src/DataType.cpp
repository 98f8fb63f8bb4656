#include "velmora/DataType.h"

#include <fmt/format.h>

namespace velmora {

namespace {

// Bits 33 to 63 of an identifier carry no meaning yet; an identifier that sets any of them
// describes nothing this library knows.
constexpr std::uint64_t ReservedBits = ~std::uint64_t{0} << 33;

} // namespace

bool DataType::isValid() const {
    const PrimitiveKind k = kind();
    const bool knownKind = k == PrimitiveKind::UnsignedInteger || k == PrimitiveKind::SignedInteger ||
                           k == PrimitiveKind::FloatingPoint;
    const std::uint32_t bits = bitsPerComponent();
    return knownKind && bits >= 1 && bits <= 64 && components() >= 1 && (value() & ReservedBits) == 0;
}

std::string DataType::name() const {
    switch (m_id) {
    case DataTypeId::Unknown:
        return "unknown";
    case DataTypeId::Int8:
        return "int8";
    case DataTypeId::UInt8:
        return "uint8";
    case DataTypeId::Int16:
        return "int16";
    case DataTypeId::UInt16:
        return "uint16";
    case DataTypeId::Int32:
        return "int32";
    case DataTypeId::UInt32:
        return "uint32";
    case DataTypeId::Int64:
        return "int64";
    case DataTypeId::UInt64:
        return "uint64";
    case DataTypeId::Float32:
        return "float32";
    case DataTypeId::Float64:
        return "float64";
    case DataTypeId::Complex64:
        return "complex64";
    case DataTypeId::Complex128:
        return "complex128";
    case DataTypeId::RGB8:
        return "rgb8";
    case DataTypeId::RGBA8:
        return "rgba8";
    }
    return fmt::format("0x{:x}", value());
}

} // namespace velmora
