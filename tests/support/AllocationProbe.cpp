#include "AllocationProbe.h"

#include <atomic>
#include <cstdlib>
#include <new>

// Replaces the global allocation functions of the test program so that a probe can see how large
// an allocation the code under test attempted, including ones it refuses. Every form but the aligned
// ones is replaced, so that each allocation is released by its own family (which sanitizers check);
// the aligned forms stay the runtime's, paired among themselves.

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

/// False when the probe refuses the allocation.
bool record(std::size_t size) {
    if (!s_armed.load(std::memory_order_relaxed)) {
        return true;
    }
    raise(s_largest, size);
    raise(s_sinceMark, size);
    return size <= s_refuseAbove.load(std::memory_order_relaxed);
}

void* allocate(std::size_t size) {
    if (!record(size)) {
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

} // namespace

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return record(size) ? std::malloc(size == 0 ? 1 : size) : nullptr;
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return record(size) ? std::malloc(size == 0 ? 1 : size) : nullptr;
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

namespace testsupport {

AllocationProbe::AllocationProbe(std::size_t refuseAbove) {
    s_largest.store(0);
    s_sinceMark.store(0);
    s_refuseAbove.store(refuseAbove);
    s_armed.store(true);
}

AllocationProbe::~AllocationProbe() {
    s_armed.store(false);
}

std::size_t AllocationProbe::largest() {
    return s_largest.load();
}

std::size_t AllocationProbe::largestSinceMark() {
    return s_sinceMark.load();
}

void AllocationProbe::mark() {
    s_sinceMark.store(0);
}

} // namespace testsupport
