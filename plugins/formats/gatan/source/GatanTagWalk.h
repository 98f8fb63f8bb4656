#pragma once

#include "GatanHandle.h"
#include "velmora/DataType.h"
#include "velmora/MetadataArena.h"
#include "velmora/MetadataNode.h"
#include "velmora/VariantDataValue.h"

#include <boost/container/small_vector.hpp>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

/// The info array of a tag: its kind, element types and counts. Most hold a handful of entries, kept
/// in place; longer ones (groups of many fields) go to the heap.
template <typename T> using TagInfo = boost::container::small_vector<T, 16>;

/// Names the walk makes up: "item000", "item001", ... for unnamed entries and the groups of an
/// array, "Field0", "Field1", ... for the fields of a group: the prefix, then the index in decimal
/// (an item's in at least three digits). Written into a buffer of its own, at compile time for the
/// names that nearly every file has.
class GeneratedName {
public:
    enum Kind { Item, Field };
    constexpr GeneratedName() = default;
    constexpr GeneratedName(Kind kind, std::int64_t index) {
        for (const char c : kind == Item ? std::string_view("item") : std::string_view("Field")) {
            m_text[m_size++] = c;
        }
        if (index < 0) {
            m_text[m_size++] = '-';
        }
        // The magnitude of the most negative index, 2^63, fits the unsigned type.
        std::uint64_t magnitude =
            index < 0 ? 0 - static_cast<std::uint64_t>(index) : static_cast<std::uint64_t>(index);
        char digits[20]{};
        std::size_t count = 0;
        do {
            digits[count++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        for (const std::size_t minimum = kind == Item ? 3 : 1; count < minimum;) {
            digits[count++] = '0';
        }
        while (count > 0) {
            m_text[m_size++] = digits[--count];
        }
    }
    constexpr std::string_view view() const { return {m_text, m_size}; }

private:
    char m_text[32]{};
    std::size_t m_size = 0;
};

/// The walk of a DM file: the header, then the whole tag tree in one forward pass, one metadata node
/// per directory and per tag, each "Data" array skipped unread and replaced by its "DataOffset".
/// The walk reads nothing else: the pixels are the frames' business. It lives while one file is
/// walked; what it builds stays in the handle. Defined in GatanExtractor.cpp (header, directories,
/// tags) and GatanTagValues.cpp (values).
class GatanTagWalk {
public:
    /// Deepest directory nesting accepted; real files nest about ten levels.
    static constexpr int MaxDirectoryDepth = 256;
    /// Most items that arrays of groups without fields may make in one file. Such groups take no
    /// bytes, so they are the only nodes the file does not pay for, and their number is bounded by
    /// what they cost instead: a node and its place in the array's list of children, and past the
    /// first thousand items a name of the file's own, about 60 MiB for the whole allowance,
    /// so a file of a few bytes never makes the walk take much more.
    static constexpr std::int64_t MaxEmptyGroupNodes = std::int64_t{1} << 20;

    /// Whether the walk writes the plugin's log lines. A silent walk never asks for the plugin's
    /// logger, so it can run in a process whose logger belongs to someone else or does not exist.
    enum class Messages { Logged, Silent };

    /// Walks the file of `handle`, whose stream stands at the header.
    GatanTagWalk(GatanHandle& handle, Messages messages);
    GatanTagWalk(const GatanTagWalk&) = delete;
    GatanTagWalk& operator=(const GatanTagWalk&) = delete;

    /// Reads and checks the header (version, then byte order) and the root tag directory: fills the
    /// handle's version and byte order and makes its tree, "root" holding "GATAN". The tree is made
    /// in the calling thread's current velmora::MetadataArena, or in one of its own outside every
    /// scope. Throws velmora::Error for a refused file, std::length_error for a count no vector can
    /// hold, and whatever the stream throws.
    void init();

    /// The element type of a tag data type code (2 to 12); velmora::Error "Tag type {0} is not
    /// convertible" for any other code.
    template <typename T> static velmora::DataType convertTagDataType(T code);
    /// The value element type that holds elements of `type`.
    static velmora::ValueType tagValueType(velmora::DataType type);

private:
    /// Reads the name of a directory entry (a big-endian length, then its bytes) into the tree's
    /// arena; an entry without one is named "item{unnamed:03}", counting up `unnamed`.
    const velmora::MetadataName& readEntryName(std::int32_t& unnamed);
    /// The next directory entry when it is a named scalar tag lying whole in the read-ahead window,
    /// read in one step (T is the int of the file's info arrays: int in DM3, long in DM4). Null, with
    /// nothing read, for any other entry and while debug messages are taken: the general path then
    /// reads it, and makes the same node of a scalar tag.
    template <typename T> velmora::MetadataNode* readScalarEntry();

    velmora::MetadataNode& parseDirectory3(const velmora::MetadataName& name);
    velmora::MetadataNode& parseDirectory4(const velmora::MetadataName& name);
    velmora::MetadataNode& parseTag3(const velmora::MetadataName& name);
    velmora::MetadataNode& parseTag4(const velmora::MetadataName& name);
    /// The info array of a tag of `count` entries, then its value.
    template <typename T>
    velmora::MetadataNode& parseTagBody(const velmora::MetadataName& name, std::uint64_t count);
    /// The value of a tag whose info array is `info`, in host order.
    template <typename T>
    velmora::MetadataNode& dispatchTag(const velmora::MetadataName& name, TagInfo<T>& info);

    template <typename T>
    velmora::MetadataNode& parseString(const velmora::MetadataName& name, const TagInfo<T>& info);
    template <typename T>
    velmora::MetadataNode& parseGroup(const velmora::MetadataName& name, const TagInfo<T>& info);
    template <typename T>
    velmora::MetadataNode& parseArray(const velmora::MetadataName& name, const TagInfo<T>& info);
    template <typename T>
    velmora::MetadataNode& parseGroupArray(const velmora::MetadataName& name, const TagInfo<T>& info);
    template <typename T> velmora::MetadataNode& parseScalar(const velmora::MetadataName& name, T code);

    /// Reads `length` UTF-16 code units and converts them to UTF-8, dropping ill-formed units. The
    /// text is valid until the next call.
    std::string_view extractString(unsigned long length, std::string_view tagName);

    /// Room to make for the children of a directory that declares `declared` entries: no more than
    /// the rest of the file can hold.
    std::size_t plausibleEntryCount(std::uint64_t declared);
    /// The fewest bytes a directory entry takes: a type, a name length, and a directory's flags and
    /// entry count.
    static constexpr std::uint64_t MinimumEntryBytes = 9;

    /// Refuses a value of `bytes` bytes at the current position when the stream is known to end
    /// before it: nothing is allocated for data the file cannot hold.
    void checkValueFits(std::string_view tagName, std::uint64_t bytes) {
        // Bytes in the read-ahead window are in the file.
        if (bytes > m_handle.windowFill - m_handle.windowIndex) {
            checkValueFitsInStream(tagName, bytes);
        }
    }
    void checkValueFitsInStream(std::string_view tagName, std::uint64_t bytes);
    template <typename T>
    void checkInfoLength(std::string_view tagName, const TagInfo<T>& info, std::uint64_t needed);

    /// The name "item{index:03}" or "Field{index}" (index >= 0). Arrays of groups repeat the same
    /// names in every group and in every array, and nearly every file has the first ones: those are
    /// made once per process and shared by every tree, the others once per file in its arena.
    const velmora::MetadataName& generatedName(GeneratedName::Kind kind, std::int64_t index);
    /// The names of items 0 to count - 1, in order.
    std::span<const velmora::MetadataName* const> itemNames(std::size_t count);

    GatanHandle& m_handle;
    /// The arena of the tree's root: the walk makes every node of the file there.
    velmora::MetadataArena* m_arena = nullptr;
    /// Generated names of this file, by GeneratedName::Kind and index (past the shared ones, and the
    /// shared ones before them when a list of item names asks for them).
    std::vector<const velmora::MetadataName*> m_generatedNames[2];

    std::string m_nameBytes; ///< an entry name that is not in the read-ahead window, as read
    std::string m_text;      ///< the last text extracted
    int m_depth = 0;
    const bool m_logged;    ///< the walk writes the plugin's log lines
    bool m_logTags = false; ///< debug messages per tag are taken (asked once per file)
    std::int64_t m_emptyGroupNodes = 0;
};
