#pragma once

#include "velmora/Export.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

/// A node name kept in a MetadataArena (made by MetadataArena::internName): its characters follow
/// the record. The std::string that MetadataNode::name() returns is made from them the first time it
/// is asked for, so a tree that is built and walked by name costs no string per distinct name. A
/// builder that gives many nodes the same name interns it once and makes the nodes with it.
class MetadataName {
public:
    MetadataName() = default;
    MetadataName(const MetadataName&) = delete;
    MetadataName& operator=(const MetadataName&) = delete;

    std::string_view view() const { return {reinterpret_cast<const char*>(this + 1), m_size}; }

private:
    friend class MetadataArena;
    friend class MetadataNode;

    mutable std::atomic<const std::string*> m_string{nullptr}; ///< made on first request
    std::size_t m_size = 0;
};

/// The memory of metadata nodes and values, and what owns them.
///
/// Every node and value lives in an arena, side by side with the others made there: a few small
/// blocks first, then 2 MiB-aligned blocks advised for transparent huge pages, so a tree of a million
/// nodes costs a few hundred page faults instead of tens of thousands. The arena is the one owner of
/// everything in it: the shared pointers that MetadataNodeFactory and VariantDataValueFactory hand
/// out share the arena's count, and a node or value keeps its whole arena alive. The memory goes
/// back when the last of them is released (the room of a node dropped early is not reused).
///
/// While a Scope is open on a thread, the factories make everything in that scope's arena: that is
/// how a reader makes the tree of one file in one go. Outside every scope each node and each value
/// gets a small arena of its own.
///
/// Texts live in the arena too: string values as strings, node names as MetadataName records whose
/// string is made when first asked for; those the arena sees again are kept once.
///
/// An arena hands out memory on one thread at a time: a tree is built on one thread (the one whose
/// scope made its arena); once built, it may be read and released on any thread.
class VELMORA_API MetadataArena : public std::enable_shared_from_this<MetadataArena> {
public:
    /// An arena whose first block holds `firstBlockSize` bytes (later blocks grow).
    explicit MetadataArena(std::size_t firstBlockSize = DefaultFirstBlockSize);
    ~MetadataArena();
    MetadataArena(const MetadataArena&) = delete;
    MetadataArena& operator=(const MetadataArena&) = delete;

    static constexpr std::size_t DefaultFirstBlockSize = std::size_t{16} << 10;

    /// `bytes` bytes aligned to `alignment` (a power of two no larger than 16). Throws
    /// std::bad_alloc when no memory can be had.
    void* allocate(std::size_t bytes, std::size_t alignment) {
        const std::uintptr_t at = (m_next + alignment - 1) & ~(std::uintptr_t{alignment} - 1);
        if (m_next == 0 || at > m_end || bytes > m_end - at) {
            return allocateInNewBlock(bytes, alignment);
        }
        m_next = at + bytes;
        return reinterpret_cast<void*>(at);
    }

    /// A string equal to `text` that lives as long as the arena. Texts seen recently are kept once:
    /// an arena for a whole tree remembers the last text of each hash value in a table of
    /// FirstInternTableSize slots, which grows up to LargestInternTableSize when the tree has many
    /// distinct texts, so the names and values that a tree repeats cost one string each.
    const std::string& intern(std::string_view text);
    static constexpr std::size_t FirstInternTableSize = 64;
    static constexpr std::size_t LargestInternTableSize = 4096;

    /// A node name equal to `name` that lives as long as the arena, kept once as intern() keeps
    /// texts (in a table of its own).
    const MetadataName& internName(std::string_view name);
    /// A node name equal to `name` made without looking for one already made: for names that the
    /// caller keeps and gives to many nodes itself.
    const MetadataName& makeName(std::string_view name) {
        auto* made = new (allocate(sizeof(MetadataName) + name.size(), alignof(MetadataName))) MetadataName;
        made->m_size = name.size();
        std::memcpy(reinterpret_cast<char*>(made + 1), name.data(), name.size());
        return *made;
    }

    /// A node name that lives as long as the process, for the few names that a reader gives to nodes
    /// of nearly every tree it makes (the caller keeps it; every call makes a new one). Nodes of any
    /// arena may have it, and its string is made at once.
    static const MetadataName& makePermanentName(std::string_view name);

    /// The string of `name` (a name of this arena), made once. Any thread may ask.
    const std::string& nameString(const MetadataName& name);

    /// Keeps `owner` alive as long as this arena (for nodes and values of other arenas that the
    /// arena's nodes refer to).
    void keepAlive(std::shared_ptr<const void> owner);

    /// Bytes the arena holds: its blocks as far as they are used, the characters of its longer
    /// strings and its own tables.
    std::size_t footprint() const;

    /// Makes a new arena the calling thread's current one for the scope's lifetime. Scopes nest: the
    /// previous arena (or none) is current again when the scope ends.
    class VELMORA_API Scope {
    public:
        Scope();
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        std::shared_ptr<MetadataArena> m_previous;
    };

    /// The calling thread's current arena; empty outside every scope.
    static const std::shared_ptr<MetadataArena>& current();

private:
    struct Block {
        void* data;
        std::size_t size;
        bool mapped; ///< from mmap (else from malloc)
    };

    void* allocateInNewBlock(std::size_t bytes, std::size_t alignment);
    void addBlock(std::size_t minimum);

    std::vector<Block> m_blocks;
    std::uintptr_t m_next = 0;
    std::uintptr_t m_end = 0;
    std::size_t m_nextBlockSize;
    std::size_t m_reservedBytes = 0;
    struct InternSlot {
        std::uint64_t hash;
        const void* record; ///< a std::string or MetadataName in the blocks; null when empty
    };
    /// The last text of each hash value that was interned.
    struct InternTable {
        std::vector<InternSlot> slots;
        std::size_t misses = 0; ///< texts made since the table last grew
    };
    /// The slot of `hash` in `table` for a text not found there, after the table has grown if it
    /// misses often; null when the arena does not intern.
    InternSlot* slotForNewText(InternTable& table, std::uint64_t hash);

    struct MadeString;

    bool m_interns;
    InternTable m_texts;
    InternTable m_names;
    /// Strings of names made on request, destroyed with the arena (pushed by any thread).
    std::atomic<MadeString*> m_madeStrings{nullptr};
    /// Strings that hold their characters outside the blocks, destroyed with the arena.
    std::vector<std::string*> m_ownedStrings;
    std::vector<std::shared_ptr<const void>> m_keptAlive;
};

} // namespace velmora
