#pragma once

#include "velmora/MetadataArena.h"

#include <cstddef>
#include <memory>

namespace velmora::detail {

/// The arena that a node or value made now belongs in: the calling thread's current one, or outside
/// every scope a new one whose first block holds about `bytes` (what the one object needs).
inline std::shared_ptr<MetadataArena> arenaFor(std::size_t bytes) {
    if (const std::shared_ptr<MetadataArena>& arena = MetadataArena::current()) {
        return arena;
    }
    return std::make_shared<MetadataArena>(bytes + 32);
}

/// Whether `pointer` is owned by `arena` (shares its count).
template <typename T>
bool ownedBy(const std::shared_ptr<T>& pointer, const std::shared_ptr<MetadataArena>& arena) {
    return !pointer.owner_before(arena) && !arena.owner_before(pointer);
}

} // namespace velmora::detail
