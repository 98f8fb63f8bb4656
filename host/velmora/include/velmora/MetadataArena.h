#pragma once

#include "velmora/Export.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace velmora {

/// Memory for the metadata nodes and values that a reader makes in one go, such as the tag tree of
/// one file.
///
/// While a Scope is open on a thread, MetadataNodeFactory and VariantDataValueFactory place the
/// nodes and values they make on that thread side by side in the scope's arena instead of asking
/// malloc for each: a few small blocks first, then 2 MiB-aligned blocks advised for transparent huge
/// pages, so a tree of a million nodes costs a few hundred page faults instead of tens of thousands.
/// Nothing else changes for the nodes and values: each keeps the arena alive, and the arena's
/// memory is returned when the last of them is destroyed (not earlier: the room of a node that dies
/// before the others is not reused). An arena hands out memory on one thread, the one whose scope
/// made it; its nodes and values may be used and destroyed on any thread.
class VELMORA_API MetadataArena {
public:
    MetadataArena();
    ~MetadataArena();
    MetadataArena(const MetadataArena&) = delete;
    MetadataArena& operator=(const MetadataArena&) = delete;

    /// `bytes` bytes aligned to `alignment` (a power of two no larger than 16). Throws
    /// std::bad_alloc when no memory can be had.
    void* allocate(std::size_t bytes, std::size_t alignment);

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

    void addBlock(std::size_t minimum);

    std::vector<Block> m_blocks;
    std::uintptr_t m_next = 0;
    std::uintptr_t m_end = 0;
    std::size_t m_nextBlockSize;
};

} // namespace velmora
