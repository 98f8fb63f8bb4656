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

const std::string& VariantDataValue::text() const {
    static const std::string empty;
    return m_type == ValueType::String ? *m_text : empty;
}

namespace {

template <typename T>
std::shared_ptr<VariantDataValue> makeRun(ValueType type, const T* data, unsigned long count) {
    static_assert(sizeof(T) <= sizeof(std::uint64_t));
    return VariantDataValueFactory::create(type, data, count);
}

} // namespace

void VariantDataValue::assignRun(MetadataArena& arena, ValueType type, const void* data, std::size_t count) {
    const std::size_t elementSize = valueTypeSize(type);
    if (elementSize == 0) {
        throw InvalidArgument(
            fmt::format("a numeric value cannot have the element type {}", valueTypeName(type)));
    }
    if (count > 0 && data == nullptr) {
        throw InvalidArgument(
            fmt::format("a run of {} {} elements needs element data", count, valueTypeName(type)));
    }
    std::size_t bytes = 0;
    if (count > MaxCount || __builtin_mul_overflow(count, elementSize, &bytes)) {
        throw InvalidArgument(
            fmt::format("a run of {} {} elements is too large", count, valueTypeName(type)));
    }
    m_inline = 0;
    if (count == 1) {
        std::memcpy(&m_inline, data, elementSize);
    } else if (count > 1) {
        auto* run = static_cast<std::uint8_t*>(arena.allocate(bytes, alignof(std::uint64_t)));
        std::memcpy(run, data, bytes);
        m_run = run;
    }
    m_count = count;
    m_type = type;
}

void VariantDataValue::assign(MetadataArena& arena, std::string_view text) {
    const std::string& interned = arena.intern(text);
    m_text = &interned;
    m_count = interned.size();
    m_type = ValueType::String;
}

std::shared_ptr<VariantDataValue> VariantDataValueFactory::create(ValueType type, const void* data,
                                                                  std::size_t count) {
    const std::size_t runBytes = count < (std::size_t{1} << 20) ? count * valueTypeSize(type) : 0;
    const std::shared_ptr<MetadataArena> arena = detail::arenaFor(sizeof(VariantDataValue) + runBytes);
    auto* value =
        new (arena->allocate(sizeof(VariantDataValue), alignof(VariantDataValue))) VariantDataValue();
    value->assign(*arena, type, data, count);
    return std::shared_ptr<VariantDataValue>(arena, value);
}

std::shared_ptr<VariantDataValue> VariantDataValueFactory::create(std::string_view text) {
    const std::shared_ptr<MetadataArena> arena =
        detail::arenaFor(sizeof(VariantDataValue) + sizeof(std::string) + text.size());
    auto* value =
        new (arena->allocate(sizeof(VariantDataValue), alignof(VariantDataValue))) VariantDataValue();
    value->assign(*arena, text);
    return std::shared_ptr<VariantDataValue>(arena, value);
}

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
    return create(std::string_view(text));
}

std::shared_ptr<VariantDataValue> VariantDataValueFactory::create(const char* text) {
    return create(std::string_view(text));
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
