// Decoding of tag values: element types, scalars, strings, groups, arrays and arrays of groups.

#include "GatanTagWalk.h"
#include "PluginLogger.h"
#include "velmora/Error.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/locale/encoding_utf.hpp>
#include <cstring>
#include <fmt/format.h>
#include <mutex>
#include <span>
#include <stdexcept>

namespace {

[[noreturn]] void throwVectorLengthError() {
    throw std::length_error("cannot create std::vector larger than max_size()");
}

// count x size in signed 64-bit arithmetic; false when the product does not fit.
bool multiplySize(std::int64_t count, std::int64_t size, std::int64_t& product) {
    return !__builtin_mul_overflow(count, size, &product);
}

// The names of the first groups of an array and of the first fields of a group, which nearly every
// file has, written at compile time.
template <std::size_t Count> constexpr std::array<GeneratedName, Count> firstNames(GeneratedName::Kind kind) {
    std::array<GeneratedName, Count> names{};
    for (std::size_t i = 0; i < Count; ++i) {
        names[i] = GeneratedName(kind, static_cast<std::int64_t>(i));
    }
    return names;
}

constexpr std::array<GeneratedName, 1000> FirstItemNames = firstNames<1000>(GeneratedName::Item);
constexpr std::array<GeneratedName, 100> FirstFieldNames = firstNames<100>(GeneratedName::Field);

// The first generated names of one kind, shared by the trees of every file: made in order, under a
// lock, the first time a file needs them; read without one.
template <std::size_t Count> class SharedNames {
public:
    constexpr explicit SharedNames(const std::array<GeneratedName, Count>& texts) : m_texts(texts) {}

    static constexpr std::size_t size() { return Count; }

    // Names 0 to count - 1 (count <= Count).
    std::span<const velmora::MetadataName* const> first(std::size_t count) {
        if (m_made.load(std::memory_order_acquire) < count) {
            const std::lock_guard<std::mutex> lock(m_mutex);
            std::size_t made = m_made.load(std::memory_order_relaxed);
            for (; made < count; ++made) {
                m_names[made] = &velmora::MetadataArena::makePermanentName(m_texts[made].view());
            }
            m_made.store(made, std::memory_order_release);
        }
        return {m_names.data(), count};
    }

private:
    const std::array<GeneratedName, Count>& m_texts;
    std::array<const velmora::MetadataName*, Count> m_names{};
    std::atomic<std::size_t> m_made{0};
    std::mutex m_mutex;
};

SharedNames<FirstItemNames.size()> SharedItemNames(FirstItemNames);
SharedNames<FirstFieldNames.size()> SharedFieldNames(FirstFieldNames);

} // namespace

const velmora::MetadataName& GatanTagWalk::generatedName(GeneratedName::Kind kind, std::int64_t index) {
    const auto at = static_cast<std::size_t>(index);
    if (kind == GeneratedName::Item && at < SharedItemNames.size()) {
        return *SharedItemNames.first(at + 1)[at];
    }
    if (kind == GeneratedName::Field && at < SharedFieldNames.size()) {
        return *SharedFieldNames.first(at + 1)[at];
    }
    std::vector<const velmora::MetadataName*>& names = m_generatedNames[kind];
    if (at >= names.size()) {
        names.resize(at + 1, nullptr);
    }
    if (names[at] == nullptr) {
        names[at] = &m_arena->makeName(GeneratedName(kind, index).view());
    }
    return *names[at];
}

std::span<const velmora::MetadataName* const> GatanTagWalk::itemNames(std::size_t count) {
    if (count <= SharedItemNames.size()) {
        return SharedItemNames.first(count);
    }
    std::vector<const velmora::MetadataName*>& names = m_generatedNames[GeneratedName::Item];
    // The last one first, so that the list grows once; then the shared ones before the file's own.
    for (std::size_t k = count; k-- > SharedItemNames.size();) {
        generatedName(GeneratedName::Item, static_cast<std::int64_t>(k));
    }
    const auto shared = SharedItemNames.first(SharedItemNames.size());
    std::copy(shared.begin(), shared.end(), names.begin());
    return {names.data(), count};
}

namespace {

template <typename T> [[noreturn]] void throwNotConvertible(T code) {
    throw velmora::Error(fmt::format("Tag type {0} is not convertible", code));
}

} // namespace

template <typename T> velmora::DataType GatanTagWalk::convertTagDataType(T code) {
    using velmora::DataTypeId;
    const auto asUnsigned = static_cast<std::make_unsigned_t<T>>(code);
    if (asUnsigned > 12 || asUnsigned < 2) {
        throwNotConvertible(code);
    }
    switch (code) {
    case 2:
        return velmora::DataType(DataTypeId::Int16);
    case 3:
        return velmora::DataType(DataTypeId::Int32);
    case 4:
        return velmora::DataType(DataTypeId::UInt16);
    case 5:
        return velmora::DataType(DataTypeId::UInt32);
    case 6:
        return velmora::DataType(DataTypeId::Float32);
    case 7:
        return velmora::DataType(DataTypeId::Float64);
    case 8:
        return velmora::DataType(DataTypeId::UInt8);
    case 9:
    case 10: // both signed 8-bit
        return velmora::DataType(DataTypeId::Int8);
    default: // 11 and 12, both signed 64-bit
        return velmora::DataType(DataTypeId::Int64);
    }
}

template velmora::DataType GatanTagWalk::convertTagDataType<int>(int);
template velmora::DataType GatanTagWalk::convertTagDataType<long>(long);

velmora::ValueType GatanTagWalk::tagValueType(velmora::DataType type) {
    using velmora::ValueType;
    const std::uint32_t depth = type.bitsPerComponent();
    switch (type.kind()) {
    case velmora::PrimitiveKind::SignedInteger:
        switch (depth) {
        case 8:
            return ValueType::Int8;
        case 16:
            return ValueType::Int16;
        case 32:
            return ValueType::Int32;
        case 64:
            return ValueType::Int64;
        default:
            throw velmora::Error(fmt::format("Invalid bit depth of {0} for a signed integer", depth));
        }
    case velmora::PrimitiveKind::FloatingPoint:
        switch (depth) {
        case 32:
            return ValueType::Float32;
        case 64:
            return ValueType::Float64;
        default:
            throw velmora::Error(fmt::format("Invalid bit depth of {0} for a floating point", depth));
        }
    case velmora::PrimitiveKind::UnsignedInteger:
        switch (depth) {
        case 8:
            return ValueType::UInt8;
        case 16:
            return ValueType::UInt16;
        case 32:
            return ValueType::UInt32;
        case 64:
            return ValueType::UInt64;
        default:
            throw velmora::Error(fmt::format("Invalid bit depth of {0} for an unsigned integer", depth));
        }
    default:
        throw velmora::Error("Invalid primitive type");
    }
}

namespace {

// What the walk needs of an element type code: its type, the value type that holds it, and its size.
struct TagElementType {
    velmora::DataType type;
    velmora::ValueType valueType = velmora::ValueType::Int8;
    std::size_t size = 0;
};

// By code, for the codes 2 to 12.
const std::array<TagElementType, 13> TagElementTypes = [] {
    std::array<TagElementType, 13> types{};
    for (int code = 2; code <= 12; ++code) {
        const velmora::DataType type = GatanTagWalk::convertTagDataType(code);
        types[static_cast<std::size_t>(code)] = {type, GatanTagWalk::tagValueType(type), type.elementSize()};
    }
    return types;
}();

// The element type of `code`, refused as convertTagDataType refuses it.
template <typename T> const TagElementType& tagElementType(T code) {
    const auto asUnsigned = static_cast<std::make_unsigned_t<T>>(code);
    if (asUnsigned > 12 || asUnsigned < 2) {
        throwNotConvertible(code);
    }
    return TagElementTypes[asUnsigned];
}

} // namespace

std::string_view GatanTagWalk::extractString(unsigned long length, std::string_view tagName) {
    if (length >= (1UL << 62)) {
        throwVectorLengthError();
    }
    checkValueFits(tagName, length * 2);
    // Units are little-endian as stored, which is the host order.
    std::vector<char16_t> units;
    if (const std::uint8_t* stored = takeFromWindow(m_handle, std::uint64_t{length} * 2)) {
        // Most texts are ASCII, one byte per unit: taken straight from the window.
        m_text.resize(length);
        bool ascii = true;
        for (std::size_t i = 0; i < length; ++i) {
            ascii = ascii && stored[2 * i] < 0x80 && stored[2 * i + 1] == 0;
            m_text[i] = static_cast<char>(stored[2 * i]);
        }
        if (ascii) {
            return m_text;
        }
        units.resize(length);
        std::memcpy(units.data(), stored, std::size_t{length} * 2);
    } else {
        units = readElements<char16_t>(m_handle, length);
    }
    // Ill-formed sequences (lone or unpaired surrogates) are skipped, zero units are kept.
    m_text = boost::locale::conv::utf_to_utf<char>(units.data(), units.data() + units.size());
    return m_text;
}

template <typename T> velmora::MetadataNode* GatanTagWalk::readScalarEntry() {
    // An entry of a tag: its type (21) and name length, the name, in DM4 the entry's size, then
    // "%%%%", the info array's length (1) and its one entry, the element type code, then the element.
    constexpr std::size_t EntrySizeBytes = sizeof(T) == 8 ? 8 : 0;
    GatanHandle& handle = m_handle;
    if (m_logTags || !handle.window) {
        return nullptr;
    }
    const std::uint8_t* at = handle.window.get() + handle.windowIndex;
    const std::size_t available = handle.windowFill - handle.windowIndex;
    if (available < 3 || at[0] != 21) {
        return nullptr;
    }
    const auto nameLength = loadBigEndian<std::int16_t>(at + 1);
    if (nameLength <= 0) {
        return nullptr;
    }
    const std::uint8_t* tag = at + 3 + static_cast<std::size_t>(nameLength) + EntrySizeBytes;
    const std::size_t headerBytes = static_cast<std::size_t>(tag - at) + 4 + 2 * sizeof(T);
    if (available < headerBytes || std::memcmp(tag, "%%%%", 4) != 0 || loadBigEndian<T>(tag + 4) != 1) {
        return nullptr;
    }
    // The codes of strings, groups and arrays (18, 15, 20) lie outside the element types'.
    const auto code = static_cast<std::make_unsigned_t<T>>(loadBigEndian<T>(tag + 4 + sizeof(T)));
    if (code < 2 || code > 12 || available < headerBytes + TagElementTypes[code].size) {
        return nullptr;
    }
    const TagElementType& type = TagElementTypes[code];
    const std::uint64_t element = loadElement(at + headerBytes, type.size);
    const velmora::MetadataName& name =
        m_arena->makeName({reinterpret_cast<const char*>(at + 3), static_cast<std::size_t>(nameLength)});
    handle.windowIndex += headerBytes + type.size;
    return &velmora::MetadataNodeFactory::make(*m_arena, name, type.valueType, &element, 1);
}

template velmora::MetadataNode* GatanTagWalk::readScalarEntry<int>();
template velmora::MetadataNode* GatanTagWalk::readScalarEntry<long>();

template <typename T>
velmora::MetadataNode& GatanTagWalk::parseScalar(const velmora::MetadataName& name, T code) {
    TRESTAN_PLUGIN_DEBUG_IF(m_logTags, "Parsing scalar value of tag \"{0}\"", name.view());
    const TagElementType& type = tagElementType(code);
    const std::uint64_t element = readElement(m_handle, type.size);
    return velmora::MetadataNodeFactory::make(*m_arena, name, type.valueType, &element, 1);
}

template <typename T>
velmora::MetadataNode& GatanTagWalk::parseString(const velmora::MetadataName& name, const TagInfo<T>& info) {
    TRESTAN_PLUGIN_DEBUG_IF(m_logTags, "Parsing string value of tag \"{0}\"", name.view());
    // A negative length widens to 2^62 or more and is refused as too long.
    const auto length = static_cast<unsigned long>(static_cast<std::int64_t>(info[1]));
    const std::string_view text = extractString(length, name.view());
    return velmora::MetadataNodeFactory::makeText(*m_arena, name, text);
}

template <typename T>
velmora::MetadataNode& GatanTagWalk::parseGroup(const velmora::MetadataName& name, const TagInfo<T>& info) {
    velmora::MetadataNode& group = velmora::MetadataNodeFactory::make(*m_arena, name);
    TRESTAN_PLUGIN_DEBUG_IF(m_logTags, "Parsing group value of tag \"{0}\"", name.view());
    const std::int64_t fieldCount = info[2];
    if (fieldCount > 0) {
        group.reserveChildren(static_cast<std::size_t>(fieldCount));
    }
    for (std::int64_t i = 0; i < fieldCount; ++i) {
        const TagElementType& type = tagElementType(info[static_cast<std::size_t>(4 + 2 * i)]);
        const std::uint64_t element = readElement(m_handle, type.size);
        group.addChild(velmora::MetadataNodeFactory::make(*m_arena, generatedName(GeneratedName::Field, i),
                                                          type.valueType, &element, 1));
    }
    return group;
}

template <typename T>
velmora::MetadataNode& GatanTagWalk::parseArray(const velmora::MetadataName& name, const TagInfo<T>& info) {
    TRESTAN_PLUGIN_DEBUG_IF(m_logTags, "Parse array value of tag \"{0}\"", name.view());
    const TagElementType& type = tagElementType(info[1]);
    const std::int64_t count = info[2];
    std::int64_t totalSize = 0;
    const bool sizeFits = multiplySize(count, static_cast<std::int64_t>(type.size), totalSize);

    if (name.view() == "Data") {
        TRESTAN_PLUGIN_DEBUG_IF(m_logTags, "Data tag encountered, remplacing it by a DataOffset one");
        if (count < 0) {
            throw velmora::Error(
                fmt::format("Tag \"{0}\" has a negative element count {1}", name.view(), count));
        }
        if (!sizeFits) {
            throw velmora::Error(fmt::format("Tag \"{0}\" declares {1} elements, more than a file can hold",
                                             name.view(), count));
        }
        const std::uint64_t offset = position(m_handle);
        skip(m_handle, totalSize);
        return velmora::MetadataNodeFactory::make(*m_arena, "DataOffset", velmora::ValueType::UInt64, &offset,
                                                  1);
    }
    if (info[1] == 4) {
        TRESTAN_PLUGIN_DEBUG_IF(m_logTags,
                                "Special case: array of 16 bits integer treated as an UTF-16 string");
        const std::string_view text = extractString(static_cast<unsigned long>(count), name.view());
        return velmora::MetadataNodeFactory::makeText(*m_arena, name, text);
    }
    if (count < 0) {
        throwVectorLengthError();
    }
    if (!sizeFits) {
        throw velmora::Error(
            fmt::format("Tag \"{0}\" declares {1} elements, more than a file can hold", name.view(), count));
    }
    checkValueFits(name.view(), static_cast<std::uint64_t>(totalSize));
    const auto elements = static_cast<std::size_t>(count);
    if (const std::uint8_t* stored = takeFromWindow(m_handle, static_cast<std::uint64_t>(totalSize))) {
        return velmora::MetadataNodeFactory::make(*m_arena, name, type.valueType,
                                                  elements == 0 ? nullptr : stored, elements);
    }
    const std::vector<std::uint8_t> buffer =
        readElements<std::uint8_t>(m_handle, static_cast<std::uint64_t>(totalSize));
    return velmora::MetadataNodeFactory::make(*m_arena, name, type.valueType,
                                              buffer.empty() ? nullptr : buffer.data(), elements);
}

template <typename T>
velmora::MetadataNode& GatanTagWalk::parseGroupArray(const velmora::MetadataName& name,
                                                     const TagInfo<T>& info) {
    TRESTAN_PLUGIN_DEBUG_IF(m_logTags, "Parse array of groups value of tag \"{0}\"", name.view());
    const std::int64_t fieldCount = info[3];
    if (fieldCount < 0 || fieldCount >= (std::int64_t{1} << 60)) {
        throwVectorLengthError();
    }

    boost::container::small_vector<const TagElementType*, 16> fieldTypes;
    fieldTypes.reserve(static_cast<std::size_t>(fieldCount));
    std::int64_t groupSize = 0;
    for (std::int64_t i = 0; i < fieldCount; ++i) {
        fieldTypes.push_back(&tagElementType(info[static_cast<std::size_t>(5 + 2 * i)]));
        groupSize += static_cast<std::int64_t>(fieldTypes.back()->size);
    }
    const std::int64_t groupCount = info[static_cast<std::size_t>(4 + 2 * fieldCount)];
    if (groupCount < 0) {
        throw velmora::Error(
            fmt::format("Tag \"{0}\" has a negative group count {1}", name.view(), groupCount));
    }
    std::int64_t totalSize = 0;
    if (!multiplySize(groupCount, groupSize, totalSize)) {
        throw velmora::Error(fmt::format("Tag \"{0}\" declares {1} groups, more than a file can hold",
                                         name.view(), groupCount));
    }

    if (name.view() == "Data") {
        TRESTAN_PLUGIN_DEBUG_IF(m_logTags, "Data tag encountered, remplacing it by a DataOffset one");
        const std::uint64_t offset = position(m_handle);
        skip(m_handle, totalSize);
        return velmora::MetadataNodeFactory::make(*m_arena, "DataOffset", velmora::ValueType::UInt64, &offset,
                                                  1);
    }

    if (groupSize == 0) {
        // Groups without fields take no bytes, so the file does not bound their number.
        if (groupCount > MaxEmptyGroupNodes - m_emptyGroupNodes) {
            throw velmora::Error(
                fmt::format("Tag \"{0}\" declares {1} empty groups; at most {2} are accepted per file",
                            name.view(), groupCount, MaxEmptyGroupNodes));
        }
        m_emptyGroupNodes += groupCount;
    } else {
        checkValueFits(name.view(), static_cast<std::uint64_t>(totalSize));
    }

    // Every group has the same fields: their names and value types are worked out once.
    boost::container::small_vector<velmora::MetadataRecordField, 16> fields;
    fields.reserve(fieldTypes.size());
    for (std::size_t j = 0; j < fieldTypes.size(); ++j) {
        fields.push_back(
            {&generatedName(GeneratedName::Field, static_cast<std::int64_t>(j)), fieldTypes[j]->valueType});
    }
    velmora::MetadataNode& array = velmora::MetadataNodeFactory::make(*m_arena, name);
    if (const std::uint8_t* records = takeFromWindow(m_handle, static_cast<std::uint64_t>(totalSize))) {
        // All the groups' bytes are at hand: the groups are made in one piece.
        velmora::MetadataNodeFactory::appendRecords(array, itemNames(static_cast<std::size_t>(groupCount)),
                                                    {fields.data(), fields.size()}, records);
        return array;
    }
    array.reserveChildren(static_cast<std::size_t>(groupCount));
    for (std::int64_t k = 0; k < groupCount; ++k) {
        velmora::MetadataNode& item =
            velmora::MetadataNodeFactory::make(*m_arena, generatedName(GeneratedName::Item, k));
        item.reserveChildren(fields.size());
        for (std::size_t j = 0; j < fields.size(); ++j) {
            const std::uint64_t element = readElement(m_handle, fieldTypes[j]->size);
            item.addChild(
                velmora::MetadataNodeFactory::make(*m_arena, *fields[j].name, fields[j].type, &element, 1));
        }
        array.addChild(item);
    }
    return array;
}

#define GATAN_INSTANTIATE_VALUE_PARSERS(T)                                                                   \
    template velmora::MetadataNode& GatanTagWalk::parseScalar<T>(const velmora::MetadataName&, T);           \
    template velmora::MetadataNode& GatanTagWalk::parseString<T>(const velmora::MetadataName&,               \
                                                                 const TagInfo<T>&);                         \
    template velmora::MetadataNode& GatanTagWalk::parseGroup<T>(const velmora::MetadataName&,                \
                                                                const TagInfo<T>&);                          \
    template velmora::MetadataNode& GatanTagWalk::parseArray<T>(const velmora::MetadataName&,                \
                                                                const TagInfo<T>&);                          \
    template velmora::MetadataNode& GatanTagWalk::parseGroupArray<T>(const velmora::MetadataName&,           \
                                                                     const TagInfo<T>&);

GATAN_INSTANTIATE_VALUE_PARSERS(int)
GATAN_INSTANTIATE_VALUE_PARSERS(long)
