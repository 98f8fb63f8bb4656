#pragma once

#include "velmora/Error.h"
#include "velmora/Export.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

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

class MetadataArena;
class MetadataNode;
class MetadataNodeFactory;

/// An immutable metadata value: a run of elements of one numeric type (a scalar is a run of one),
/// or a text. Values are made by VariantDataValueFactory, which copies what it is given into the
/// value's MetadataArena; a value is a small handle to its elements or text there.
class VELMORA_API VariantDataValue {
public:
    VariantDataValue(const VariantDataValue&) = delete;
    VariantDataValue& operator=(const VariantDataValue&) = delete;

    ValueType type() const { return m_type; }
    bool isString() const { return m_type == ValueType::String; }
    /// Number of elements; for a text, its length in bytes.
    std::size_t count() const { return static_cast<std::size_t>(m_count); }
    /// Element bytes of a numeric value, back to back in host order; nullptr when there are none.
    const void* data() const {
        if (m_type == ValueType::String || m_count == 0) {
            return nullptr;
        }
        return m_count == 1 ? static_cast<const void*>(&m_inline) : static_cast<const void*>(m_run);
    }
    /// The text of a string value; empty for numeric values.
    const std::string& text() const;

    /// Element `index` of a numeric value as T (no range check; T must match type()).
    template <typename T> T at(std::size_t index) const {
        T v;
        std::memcpy(&v, static_cast<const std::uint8_t*>(data()) + index * sizeof(T), sizeof(T));
        return v;
    }

    /// Most elements a numeric run may hold.
    static constexpr std::uint64_t MaxCount = (std::uint64_t{1} << 56) - 1;

private:
    friend class VariantDataValueFactory;
    friend class MetadataNode;
    friend class MetadataNodeFactory;

    static constexpr std::uint8_t NoValue = 0xFF; ///< m_type of a node's empty value slot

    VariantDataValue() : m_count(0), m_type(static_cast<ValueType>(NoValue)) {}
    bool isNone() const { return static_cast<std::uint8_t>(m_type) == NoValue; }
    void copyHandle(const VariantDataValue& other) {
        m_count = other.m_count;
        m_type = other.m_type;
        m_inline = other.m_inline;
    }

    /// Makes this value `count` elements of `type` copied from `data` into `arena`, or a text
    /// interned in `arena` (the checks and messages of VariantDataValueFactory::create).
    void assign(MetadataArena& arena, ValueType type, const void* data, std::size_t count) {
        // A scalar, the most common value by far, is copied in place here.
        if (count == 1 && data != nullptr) {
            m_inline = 0;
            switch (type) {
            case ValueType::Int8:
            case ValueType::UInt8:
                std::memcpy(&m_inline, data, 1);
                break;
            case ValueType::Int16:
            case ValueType::UInt16:
                std::memcpy(&m_inline, data, 2);
                break;
            case ValueType::Int32:
            case ValueType::UInt32:
            case ValueType::Float32:
                std::memcpy(&m_inline, data, 4);
                break;
            case ValueType::Int64:
            case ValueType::UInt64:
            case ValueType::Float64:
                std::memcpy(&m_inline, data, 8);
                break;
            default:
                assignRun(arena, type, data, count); // refused there
                return;
            }
            m_count = 1;
            m_type = type;
            return;
        }
        assignRun(arena, type, data, count);
    }
    void assignRun(MetadataArena& arena, ValueType type, const void* data, std::size_t count);
    /// Makes this value one element of numeric `type` whose bytes, zero-extended, are `bits`.
    void setScalar(ValueType type, std::uint64_t bits) {
        m_count = 1;
        m_type = type;
        m_inline = bits;
    }
    void assign(MetadataArena& arena, std::string_view text);

    std::uint64_t m_count : 56;
    ValueType m_type : 8;
    union {
        std::uint64_t m_inline = 0; // a single element of up to 8 bytes lives here
        const std::uint8_t* m_run;  // longer runs, in the arena
        const std::string* m_text;  // texts, interned in the arena
    };
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

/// Makes values in the calling thread's current MetadataArena (or, outside every scope, in one of
/// their own); every overload copies the elements it is given. The shared pointers returned share
/// the arena's count.
class VELMORA_API VariantDataValueFactory {
public:
    /// A run of `count` elements of `type` copied from `data` (a numeric type; velmora::InvalidArgument
    /// for ValueType::String, for a null `data` with elements, or for more than MaxCount elements).
    static std::shared_ptr<VariantDataValue> create(ValueType type, const void* data, std::size_t count);
    static std::shared_ptr<VariantDataValue> create(std::string_view text);

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
    static std::shared_ptr<VariantDataValue> create(const char* text);

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
