#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

/// Builds Gatan Digital Micrograph (DM3/DM4) files in memory and lays them out byte for byte.
///
/// A file is a header followed by one root tag directory. Structural integers (counts, lengths, the
/// info arrays) are written big-endian; value bytes are taken exactly as given, which for every
/// helper here means little-endian. Every field a reader looks at can be overridden, so that broken
/// files can be stated as precisely as good ones.
namespace dmwriter {

using Bytes = std::vector<std::uint8_t>;

/// DM file version: selects the width of counts and info entries and the DM4 entry size field.
enum class Version : std::uint32_t { Dm3 = 3, Dm4 = 4 };

/// Tag data type codes, named as DM names them (8 is its boolean, 10 its octet, 12 its unsigned
/// 64-bit integer).
enum class ElementType : std::int32_t {
    Int16 = 2,
    Int32 = 3,
    UInt16 = 4,
    UInt32 = 5,
    Float32 = 6,
    Float64 = 7,
    Bool = 8,
    Int8 = 9,
    UInt8 = 10,
    Int64 = 11,
    UInt64 = 12,
};

/// Codes that select the kind of a tag in I[0] (and, for an array of groups, in I[1]).
enum StructureCode : std::int64_t {
    GroupCode = 15,
    StringCode = 18,
    ArrayCode = 20,
};

/// Tag type bytes of directory entries.
enum EntryTypeByte : std::uint8_t {
    DirectoryEntry = 0x14,
    TagEntry = 0x15,
};

/// The code as written in an info array.
constexpr std::int64_t code(ElementType type) {
    return static_cast<std::int64_t>(type);
}

/// Bytes one element of the code occupies; 0 for a code that is not a tag data type code.
std::size_t elementSize(std::int64_t code);
inline std::size_t elementSize(ElementType type) {
    return elementSize(code(type));
}

/// The value's bytes in little-endian order.
template <typename T> Bytes littleEndian(T value) {
    static_assert(std::is_arithmetic_v<T>);
    Bytes bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    if constexpr (std::endian::native == std::endian::big) {
        std::reverse(bytes.begin(), bytes.end());
    }
    return bytes;
}

/// The values' bytes back to back, each little-endian.
template <typename T> Bytes littleEndian(std::span<const T> values) {
    Bytes bytes;
    bytes.reserve(values.size() * sizeof(T));
    for (const T& value : values) {
        const Bytes one = littleEndian(value);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    return bytes;
}

template <typename T> Bytes littleEndian(std::initializer_list<T> values) {
    return littleEndian(std::span<const T>(values.begin(), values.size()));
}

/// UTF-16 code units as DM stores text: two bytes each, little-endian, no terminator.
Bytes utf16Bytes(std::u16string_view units);

/// The byte runs back to back.
Bytes concat(std::initializer_list<Bytes> parts);

/// Value bytes produced while the file is written, for values too large to keep in memory.
struct GeneratedValue {
    /// Fills `out` with the bytes at `offset` (counted from the first value byte).
    using Fill = std::function<void(std::uint64_t offset, std::span<std::uint8_t> out)>;

    std::uint64_t size = 0;
    /// Empty: the bytes are zero (and writeFile leaves a hole in the file instead of writing them).
    Fill fill;
};

/// One field of a group: its code and its value bytes.
struct Field {
    std::int64_t code;
    Bytes bytes;

    template <typename T> static Field of(ElementType type, T value) {
        return Field{dmwriter::code(type), littleEndian(value)};
    }
};

/// A tag: the separator, the info array and the value bytes.
class Tag {
public:
    /// A tag with exactly this info array and these value bytes.
    static Tag raw(std::vector<std::int64_t> info, Bytes value = {});
    /// A tag whose value bytes are produced while writing.
    static Tag generated(std::vector<std::int64_t> info, GeneratedValue value);

    /// Scalar of the code with the given value bytes (I = [code]).
    static Tag scalar(std::int64_t code, Bytes value);
    static Tag int8(std::int8_t value);
    static Tag uint8(std::uint8_t value);
    static Tag boolean(bool value);
    static Tag int16(std::int16_t value);
    static Tag uint16(std::uint16_t value);
    static Tag int32(std::int32_t value);
    static Tag uint32(std::uint32_t value);
    static Tag int64(std::int64_t value);
    static Tag uint64(std::uint64_t value);
    static Tag float32(float value);
    static Tag float64(double value);

    /// String kind: I = [18, L] followed by L code units.
    static Tag string(std::u16string_view units);
    /// Text the way DM itself stores it: an array of code 4, I = [20, 4, L].
    static Tag utf16Array(std::u16string_view units);

    /// Array: I = [20, code, count] followed by the element bytes as given.
    static Tag array(std::int64_t code, std::int64_t count, Bytes elements);
    template <typename T> static Tag array(ElementType type, std::span<const T> values) {
        return array(code(type), static_cast<std::int64_t>(values.size()), littleEndian(values));
    }
    template <typename T> static Tag array(ElementType type, std::initializer_list<T> values) {
        return array(type, std::span<const T>(values.begin(), values.size()));
    }

    /// Group: I = [15, 0, n, 0, code0, 0, code1, ...] followed by the fields back to back.
    static Tag group(const std::vector<Field>& fields);
    /// Array of groups: I = [20, 15, 0, n, 0, code0, ..., count] followed by the groups' bytes.
    static Tag groupArray(const std::vector<std::int64_t>& fieldCodes, std::int64_t count, Bytes groups);
    /// Array of groups whose value bytes are produced while writing.
    static Tag generatedGroupArray(const std::vector<std::int64_t>& fieldCodes, std::int64_t count,
                                   GeneratedValue groups);

    /// Writes these four bytes instead of "%%%%".
    Tag& separator(std::string_view fourBytes);
    /// Writes this info count instead of the number of info entries (the entries are all written).
    Tag& infoCount(std::int64_t count);

    const std::vector<std::int64_t>& info() const { return m_info; }
    std::uint64_t valueSize() const;
    /// Value bytes held in memory (empty for a generated value).
    const Bytes& value() const { return m_value; }

    /// Offsets from the start of the file, as laid out by the last serialisation: the separator,
    /// the first value byte, and the byte after the value.
    std::uint64_t offset() const { return m_offset; }
    std::uint64_t valueOffset() const { return m_valueOffset; }
    std::uint64_t endOffset() const { return m_endOffset; }

private:
    friend class Serializer;

    std::vector<std::int64_t> m_info;
    std::optional<std::int64_t> m_infoCount;
    std::array<std::uint8_t, 4> m_separator{'%', '%', '%', '%'};
    Bytes m_value;
    std::optional<GeneratedValue> m_generated;
    std::uint64_t m_offset = 0;
    std::uint64_t m_valueOffset = 0;
    std::uint64_t m_endOffset = 0;
};

/// Fields of a directory entry that are normally derived, written as given instead.
struct EntryOptions {
    /// Name length field (name bytes written are still the entry's name, so a length with the top
    /// bit set goes with an empty name).
    std::optional<std::uint16_t> nameLength;
    /// DM4 entry size field (by default the number of bytes of the entry's body).
    std::optional<std::uint64_t> entrySize;
    /// Tag type byte (by default 0x14 for a directory, 0x15 for a tag).
    std::optional<std::uint8_t> typeByte;

    static EntryOptions withNameLength(std::uint16_t length) { return EntryOptions{length, {}, {}}; }
    static EntryOptions withEntrySize(std::uint64_t size) { return EntryOptions{{}, size, {}}; }
    static EntryOptions withTypeByte(std::uint8_t byte) { return EntryOptions{{}, {}, byte}; }
};

struct Entry;

/// A tag directory: two flag bytes, the entry count and the entries.
class Directory {
public:
    Directory();
    ~Directory();
    Directory(Directory&&) noexcept;
    Directory& operator=(Directory&&) noexcept;

    /// Appends a nested directory; an empty name makes an unnamed entry.
    Directory& addDirectory(std::string name = {}, EntryOptions options = {});
    /// Appends a tag; an empty name makes an unnamed entry.
    Tag& addTag(std::string name, Tag tag, EntryOptions options = {});
    /// Appends an unnamed tag.
    Tag& addTag(Tag tag) { return addTag({}, std::move(tag)); }

    /// The first and second flag byte (DM writes 1, 0 for directories of named entries).
    Directory& flags(std::uint8_t first, std::uint8_t second);
    /// Writes this entry count instead of the number of entries.
    Directory& entryCount(std::int64_t count);
    /// Reserves room for `count` entries.
    void reserve(std::size_t count);

    std::size_t size() const { return m_entries.size(); }
    Entry& entry(std::size_t index) { return *m_entries.at(index); }
    const Entry& entry(std::size_t index) const { return *m_entries.at(index); }
    /// The first entry named `name`; throws std::out_of_range when there is none or it is of the
    /// other kind.
    Directory& directory(std::string_view name);
    Tag& tag(std::string_view name);
    /// Removes every entry named `name`; returns how many were removed.
    std::size_t remove(std::string_view name);

    /// Offsets from the start of the file of the first flag byte and of the byte after the last
    /// entry, as laid out by the last serialisation.
    std::uint64_t offset() const { return m_offset; }
    std::uint64_t endOffset() const { return m_endOffset; }

private:
    friend class Serializer;

    Entry* find(std::string_view name);

    std::uint8_t m_firstFlag = 0;
    std::uint8_t m_secondFlag = 0;
    std::optional<std::int64_t> m_entryCount;
    std::vector<std::unique_ptr<Entry>> m_entries;
    std::uint64_t m_bodySize = 0; // cached by the serialiser's measuring pass
    std::uint64_t m_offset = 0;
    std::uint64_t m_endOffset = 0;
};

/// A directory entry: its name bytes (any bytes; empty for an unnamed entry), the overrides of its
/// derived fields and its body.
struct Entry {
    std::string name;
    EntryOptions options;
    std::variant<Tag, Directory> body;
    /// Offset of the tag type byte, as laid out by the last serialisation.
    std::uint64_t offset = 0;

    bool isDirectory() const { return std::holds_alternative<Directory>(body); }
    Directory& directory() { return std::get<Directory>(body); }
    Tag& tag() { return std::get<Tag>(body); }
};

/// A whole DM file: header fields, the root directory and an optional trailer.
class DmFile {
public:
    explicit DmFile(Version version = Version::Dm4);

    /// The root tag directory (it has no entry of its own: no type byte, no name).
    Directory& root() { return m_root; }
    const Directory& root() const { return m_root; }

    Version version() const { return m_version; }
    /// Lays the same tree out in the other version.
    DmFile& setVersion(Version version);
    /// Writes this version word instead of 3 or 4 (the layout still follows version()).
    DmFile& versionWord(std::uint32_t word);
    /// Writes this length word (4 bytes in DM3, 8 in DM4, big-endian); 0 by default.
    DmFile& lengthWord(std::uint64_t word);
    /// Writes this byte-order word instead of 1.
    DmFile& byteOrder(std::uint32_t word);
    /// Bytes written after the root directory.
    DmFile& trailer(Bytes bytes);
    /// Frames the file as DM does: eight zero bytes after the root directory and a length word of
    /// the file size less 16 (DM3) or 24 (DM4). Explicit lengthWord or trailer calls take precedence.
    DmFile& dmFraming();

    /// Header size: 12 bytes in DM3, 16 in DM4.
    std::uint64_t headerSize() const;
    /// Total size of the file as it would be written.
    std::uint64_t size();

    /// The whole file in memory. Generated values are produced into it.
    Bytes toBytes();
    /// Streams the file; generated values are produced in chunks and never held whole.
    void writeTo(std::ostream& out);
    /// Writes the file to `path`; zero generated values become holes (a sparse file).
    void writeFile(const std::string& path);

    /// Byte ranges (offset, size) in file order, as laid out by the last serialisation.
    struct Layout {
        /// Every field a reader interprets: header, directory flags and counts, entry type bytes,
        /// name lengths and names, DM4 entry sizes, tag separators, info counts and info arrays.
        std::vector<std::pair<std::uint64_t, std::uint64_t>> structure;
        /// The value bytes of the arrays named "Data": image pixels.
        std::vector<std::pair<std::uint64_t, std::uint64_t>> data;
    };
    Layout layout() const;

private:
    friend class Serializer;

    Version m_version;
    std::optional<std::uint32_t> m_versionWord;
    std::optional<std::uint64_t> m_lengthWord;
    std::uint32_t m_byteOrder = 1;
    std::optional<Bytes> m_trailer;
    bool m_dmFraming = false;
    Directory m_root;
};

} // namespace dmwriter
