#include "AllocationProbe.h"

#include <atomic>
#include <cstdlib>
#include <new>

// Replaces the global allocation functions of the test program so that a probe can see how large
// an allocation the code under test attempted, including ones that would fail. Array, nothrow and
// sized forms reach these two through the standard library's defaults.

namespace {

std::atomic<bool> s_armed{false};
std::atomic<std::size_t> s_largest{0};

void record(std::size_t size) {
    if (!s_armed.load(std::memory_order_relaxed)) {
        return;
    }
    std::size_t seen = s_largest.load(std::memory_order_relaxed);
    while (size > seen && !s_largest.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
    }
}

} // namespace

void* operator new(std::size_t size) {
    record(size);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept {
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

namespace testsupport {

AllocationProbe::AllocationProbe() {
    s_largest.store(0);
    s_armed.store(true);
}

AllocationProbe::~AllocationProbe() {
    s_armed.store(false);
}

std::size_t AllocationProbe::largest() const {
    return s_largest.load();
}

} // namespace testsupport
