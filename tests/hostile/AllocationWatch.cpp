#include "AllocationWatch.h"

#include <atomic>
#include <cstdlib>
#include <new>

// Replaces the global allocation functions of the test program. Every form but the aligned ones is
// replaced, so that each allocation is released by its own family (which sanitizers check); the
// aligned forms stay the runtime's, paired among themselves.

namespace {

std::atomic<bool> s_armed{false};
std::atomic<std::size_t> s_largest{0};
std::atomic<std::size_t> s_sinceMark{0};
std::atomic<std::size_t> s_refuseAbove{0};

void raise(std::atomic<std::size_t>& maximum, std::size_t size) {
    std::size_t seen = maximum.load(std::memory_order_relaxed);
    while (size > seen && !maximum.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
    }
}

void* allocate(std::size_t size) {
    if (s_armed.load(std::memory_order_relaxed)) {
        raise(s_largest, size);
        raise(s_sinceMark, size);
        if (size > s_refuseAbove.load(std::memory_order_relaxed)) {
            throw std::bad_alloc();
        }
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void* allocateNoThrow(std::size_t size) noexcept {
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

} // namespace

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocateNoThrow(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocateNoThrow(size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}

namespace hostile {

AllocationWatch::AllocationWatch(std::size_t refuseAbove) {
    s_largest.store(0);
    s_sinceMark.store(0);
    s_refuseAbove.store(refuseAbove);
    s_armed.store(true);
}

AllocationWatch::~AllocationWatch() {
    s_armed.store(false);
}

std::size_t AllocationWatch::largest() {
    return s_largest.load();
}

std::size_t AllocationWatch::largestSinceMark() {
    return s_sinceMark.load();
}

void AllocationWatch::mark() {
    s_sinceMark.store(0);
}

WatchedStream::WatchedStream(std::shared_ptr<velmora::StreamAccess> inner, std::uint64_t tolerance)
    : m_inner(std::move(inner)), m_tolerance(tolerance) {}

std::uint64_t WatchedStream::capabilities() const {
    AllocationWatch::mark();
    return m_inner->capabilities();
}

std::uint64_t WatchedStream::read(std::uint64_t count, void* destination) {
    const std::uint64_t offset = m_inner->tell();
    const std::optional<std::uint64_t> size = m_inner->size();
    const std::uint64_t left = size && offset < *size ? *size - offset : 0;
    const std::size_t allocated = AllocationWatch::largestSinceMark();
    if (!m_overdraft && size && count > left + m_tolerance && allocated >= count) {
        m_overdraft = Overdraft{offset, count, left, allocated};
    }
    AllocationWatch::mark();
    return m_inner->read(count, destination);
}

std::uint64_t WatchedStream::tell() const {
    AllocationWatch::mark();
    return m_inner->tell();
}

void WatchedStream::seek(std::int64_t offset, velmora::SeekOrigin origin) {
    AllocationWatch::mark();
    m_inner->seek(offset, origin);
}

std::optional<std::uint64_t> WatchedStream::size() const {
    AllocationWatch::mark();
    return m_inner->size();
}

} // namespace hostile
