#pragma once

#include "velmora/MetadataArena.h"

#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <utility>

namespace velmora::detail {

/// Takes memory from a MetadataArena and never gives single objects back; every copy (the control
/// block of a shared_ptr keeps one) holds the arena alive.
template <typename T> class ArenaAllocator {
public:
    using value_type = T;

    explicit ArenaAllocator(std::shared_ptr<MetadataArena> arena) noexcept : m_arena(std::move(arena)) {}
    template <typename U> ArenaAllocator(const ArenaAllocator<U>& other) noexcept : m_arena(other.arena()) {}

    T* allocate(std::size_t count) {
        if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(m_arena->allocate(count * sizeof(T), alignof(T)));
    }
    void deallocate(T*, std::size_t) noexcept {}

    const std::shared_ptr<MetadataArena>& arena() const noexcept { return m_arena; }

    template <typename U> friend bool operator==(const ArenaAllocator& left, const ArenaAllocator<U>& right) {
        return left.m_arena == right.arena();
    }

private:
    std::shared_ptr<MetadataArena> m_arena;
};

/// std::make_shared, in the calling thread's current MetadataArena when there is one.
template <typename T, typename... Args> std::shared_ptr<T> makeShared(Args&&... args) {
    if (const std::shared_ptr<MetadataArena>& arena = MetadataArena::current()) {
        return std::allocate_shared<T>(ArenaAllocator<T>(arena), std::forward<Args>(args)...);
    }
    return std::make_shared<T>(std::forward<Args>(args)...);
}

} // namespace velmora::detail
