#include "velmora/VariantDataValue.h"

#include "ArenaAllocation.h"
#include "velmora/Error.h"

#include <fmt/format.h>

namespace velmora {

std::size_t valueTypeSize(ValueType type) {
    switch (type) {
    case ValueType::Int8:
    case ValueType::UInt8:
        return 1;
    case ValueType::Int16:
    case ValueType::UInt16:
        return 2;
    case ValueType::Int32:
    case ValueType::UInt32:
    case ValueType::Float32:
        return 4;
    case ValueType::Int64:
    case ValueType::UInt64:
    case ValueType::Float64:
        return 8;
    case ValueType::String:
        return 0;
    }
    return 0;
}

const char* valueTypeName(ValueType type) {
    switch (type) {
    case ValueType::Int8:
        return "int8";
    case ValueType::UInt8:
        return "uint8";
    case ValueType::Int16:
        return "int16";
    case ValueType::UInt16:
        return "uint16";
    case ValueType::Int32:
        return "int32";
    case ValueType::UInt32:
        return "uint32";
    case ValueType::Int64:
        return "int64";
    case ValueType::UInt64:
        return "uint64";
    case ValueType::Float32:
        return "float32";
    case ValueType::Float64:
        return "float64";
    case ValueType::String:
        return "string";
    }
    return "unknown";
}

VariantDataValue::VariantDataValue(ValueType type, const void* data, std::size_t count)
    : m_type(type), m_count(count) {
    const std::size_t elementSize = valueTypeSize(type);
    if (elementSize == 0) {
        throw InvalidArgument(
            fmt::format("a numeric value cannot have the element type {}", valueTypeName(type)));
    }
    if (count == 0) {
        return;
    }
    if (data == nullptr) {
        throw InvalidArgument(
            fmt::format("a run of {} {} elements needs element data", count, valueTypeName(type)));
    }
    if (count == 1) {
        std::memcpy(&m_inline, data, elementSize);
        return;
    }
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(count, elementSize, &bytes)) {
        throw InvalidArgument(
            fmt::format("a run of {} {} elements is too large", count, valueTypeName(type)));
    }
    m_heap.reset(new std::uint8_t[bytes]);
    std::memcpy(m_heap.get(), data, bytes);
}

VariantDataValue::VariantDataValue(std::string text)
    : m_type(ValueType::String), m_count(text.size()), m_text(std::move(text)) {}

VariantDataValue::~VariantDataValue() = default;

const void* VariantDataValue::data() const {
    if (m_type == ValueType::String || m_count == 0) {
        return nullptr;
    }
    return m_count == 1 ? static_cast<const void*>(&m_inline) : m_heap.get();
}

namespace {

template <typename T>
std::shared_ptr<VariantDataValue> makeRun(ValueType type, const T* data, unsigned long count) {
    static_assert(sizeof(T) <= sizeof(std::uint64_t));
    return detail::makeShared<VariantDataValue>(type, data, count);
}

} // namespace

std::shared_ptr<VariantDataValue> VariantDataValueFactory::create(const signed char* data,
                                                                  unsigned long count) {
    return makeRun(ValueType::Int8, data, count);
}

std::shared_ptr<VariantDataValue> VariantDataValueFactory::create(const unsigned char* data,
                                                                  unsigned long count) {
    return makeRun(ValueType::UInt8, data, count);
}

std::shared_ptr<VariantDataValue> VariantDataValueFactory::create(const short* data, unsigned long count) {
    return makeRun(ValueType::Int16, data, count);
}

std::shared_ptr<VariantDataValue> VariantDataValueFactory::create(const unsigned short* data,
                                                                  unsigned long count) {
    return makeRun(ValueType::UInt16, data, count);
}

std::shared_ptr<VariantDataValue> VariantDataValueFactory::create(const int* data, unsigned long count) {
    return makeRun(ValueType::Int32, data, count);
}

std::shared_ptr<VariantDataValue> VariantDataValueFactory::create(const unsigned int* data,
                                                                  unsigned long count) {
    return makeRun(ValueType::UInt32, data, count);
}

std::shared_ptr<VariantDataValue> VariantDataValueFactory::create(const long* data, unsigned long count) {
    static_assert(sizeof(long) == 8, "long is taken as a 64-bit integer");
    return makeRun(ValueType::Int64, data, count);
}

std::shared_ptr<VariantDataValue> VariantDataValueFactory::create(const unsigned long* data,
                                                                  unsigned long count) {
    return makeRun(ValueType::UInt64, data, count);
}

std::shared_ptr<VariantDataValue> VariantDataValueFactory::create(const float* data, unsigned long count) {
    return makeRun(ValueType::Float32, data, count);
}

std::shared_ptr<VariantDataValue> VariantDataValueFactory::create(const double* data, unsigned long count) {
    return makeRun(ValueType::Float64, data, count);
}

std::shared_ptr<VariantDataValue> VariantDataValueFactory::create(const std::string& text) {
    return detail::makeShared<VariantDataValue>(text);
}

std::shared_ptr<VariantDataValue> VariantDataValueFactory::create(int value) {
    return create(&value, 1);
}

std::shared_ptr<VariantDataValue> VariantDataValueFactory::create(long value) {
    return create(&value, 1);
}

std::shared_ptr<VariantDataValue> VariantDataValueFactory::create(unsigned long value) {
    return create(&value, 1);
}

std::shared_ptr<VariantDataValue> VariantDataValueFactory::create(double value) {
    return create(&value, 1);
}

} // namespace velmora
