#pragma once

#include "velmora/Error.h"
#include "velmora/Export.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace velmora {

/// Element type of a metadata value.
enum class ValueType : std::uint8_t {
    Int8,
    UInt8,
    Int16,
    UInt16,
    Int32,
    UInt32,
    Int64,
    UInt64,
    Float32,
    Float64,
    String,
};

/// Bytes of one element of a numeric value type (0 for String).
VELMORA_API std::size_t valueTypeSize(ValueType type);
/// "int8", "uint8", ..., "float64", "string".
VELMORA_API const char* valueTypeName(ValueType type);

/// An immutable metadata value: a run of elements of one numeric type (a scalar is a run of one),
/// or a text. Values are made by VariantDataValueFactory, which copies what it is given.
class VELMORA_API VariantDataValue {
public:
    /// A numeric run of `count` elements copied from `data`.
    VariantDataValue(ValueType type, const void* data, std::size_t count);
    /// A text (UTF-8 by convention, but any bytes are kept).
    explicit VariantDataValue(std::string text);
    ~VariantDataValue();
    VariantDataValue(const VariantDataValue&) = delete;
    VariantDataValue& operator=(const VariantDataValue&) = delete;

    ValueType type() const { return m_type; }
    bool isString() const { return m_type == ValueType::String; }
    /// Number of elements; for a text, its length in bytes.
    std::size_t count() const { return m_count; }
    /// Element bytes of a numeric value, back to back in host order; nullptr when there are none.
    const void* data() const;
    /// The text of a string value; empty for numeric values.
    const std::string& text() const { return m_text; }

    /// Element `index` of a numeric value as T (no range check; T must match type()).
    template <typename T> T at(std::size_t index) const {
        T v;
        std::memcpy(&v, static_cast<const std::uint8_t*>(data()) + index * sizeof(T), sizeof(T));
        return v;
    }

private:
    ValueType m_type;
    std::size_t m_count;
    std::uint64_t m_inline = 0;             // a single element of up to 8 bytes lives here
    std::unique_ptr<std::uint8_t[]> m_heap; // longer runs
    std::string m_text;
};

/// Calls `visitor` with element `index` of a numeric value read as the value's own C++ type
/// (std::int8_t ... std::uint64_t, float, double) and returns what it returns; every call must return
/// the same type. No range check. Throws velmora::Error for a text.
template <typename Visitor>
decltype(auto) visitElement(const VariantDataValue& value, std::size_t index, Visitor&& visitor) {
    switch (value.type()) {
    case ValueType::Int8:
        return visitor(value.at<std::int8_t>(index));
    case ValueType::UInt8:
        return visitor(value.at<std::uint8_t>(index));
    case ValueType::Int16:
        return visitor(value.at<std::int16_t>(index));
    case ValueType::UInt16:
        return visitor(value.at<std::uint16_t>(index));
    case ValueType::Int32:
        return visitor(value.at<std::int32_t>(index));
    case ValueType::UInt32:
        return visitor(value.at<std::uint32_t>(index));
    case ValueType::Int64:
        return visitor(value.at<std::int64_t>(index));
    case ValueType::UInt64:
        return visitor(value.at<std::uint64_t>(index));
    case ValueType::Float32:
        return visitor(value.at<float>(index));
    case ValueType::Float64:
        return visitor(value.at<double>(index));
    case ValueType::String:
        break;
    }
    throw Error(std::string("value of type ") + valueTypeName(value.type()) + " has no numeric elements");
}

/// Makes values; every overload copies the elements it is given.
class VELMORA_API VariantDataValueFactory {
public:
    static std::shared_ptr<VariantDataValue> create(const signed char* data, unsigned long count);
    static std::shared_ptr<VariantDataValue> create(const unsigned char* data, unsigned long count);
    static std::shared_ptr<VariantDataValue> create(const short* data, unsigned long count);
    static std::shared_ptr<VariantDataValue> create(const unsigned short* data, unsigned long count);
    static std::shared_ptr<VariantDataValue> create(const int* data, unsigned long count);
    static std::shared_ptr<VariantDataValue> create(const unsigned int* data, unsigned long count);
    static std::shared_ptr<VariantDataValue> create(const long* data, unsigned long count);
    static std::shared_ptr<VariantDataValue> create(const unsigned long* data, unsigned long count);
    static std::shared_ptr<VariantDataValue> create(const float* data, unsigned long count);
    static std::shared_ptr<VariantDataValue> create(const double* data, unsigned long count);
    static std::shared_ptr<VariantDataValue> create(const std::string& text);

    static std::shared_ptr<VariantDataValue> create(int value);
    static std::shared_ptr<VariantDataValue> create(long value);
    static std::shared_ptr<VariantDataValue> create(unsigned long value);
    static std::shared_ptr<VariantDataValue> create(double value);
};

/// Reads values as other types. The numeric conversions take element 0 of a numeric value of any
/// type and convert it as C++ converts numbers (floating point to integer truncates toward zero;
/// out-of-range results are refused); they fail with velmora::Error for a text, an empty run or a
/// null value.
class VELMORA_API VariantDataValueConverter {
public:
    static std::int32_t toInt32(const VariantDataValue& value);
    static std::int64_t toInt64(const VariantDataValue& value);
    static std::uint64_t toUint64(const VariantDataValue& value);
    static double toDouble(const VariantDataValue& value);
    /// A text as it is; a numeric scalar in its shortest decimal form; a run as "[a, b, c]".
    static std::string toString(const VariantDataValue& value);

    static std::int32_t toInt32(const std::shared_ptr<VariantDataValue>& value);
    static std::int64_t toInt64(const std::shared_ptr<VariantDataValue>& value);
    static std::uint64_t toUint64(const std::shared_ptr<VariantDataValue>& value);
    static double toDouble(const std::shared_ptr<VariantDataValue>& value);
    static std::string toString(const std::shared_ptr<VariantDataValue>& value);
};

} // namespace velmora
