#include "trestan/toolkit/FreshMemory.h"

#include <cstdlib>
#include <limits>
#include <new>
#include <sys/mman.h>

namespace trestan::toolkit {

FreshMemory::FreshMemory(std::size_t bytes) {
    if (bytes < HugePageThreshold) {
        m_data = static_cast<std::uint8_t*>(std::malloc(bytes == 0 ? 1 : bytes));
        if (m_data == nullptr) {
            throw std::bad_alloc();
        }
        return;
    }
    const std::size_t used = (bytes + HugePageSize - 1) & ~(HugePageSize - 1);
    if (used < bytes || used > std::numeric_limits<std::size_t>::max() - HugePageSize) {
        throw std::bad_alloc();
    }
    // Over-map by one huge page to align the start, then give back the unused ends.
    const std::size_t mapped = used + HugePageSize;
    void* region = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) {
        throw std::bad_alloc();
    }
    const auto base = reinterpret_cast<std::uintptr_t>(region);
    const std::uintptr_t aligned = (base + HugePageSize - 1) & ~(std::uintptr_t{HugePageSize} - 1);
    if (aligned > base) {
        ::munmap(region, aligned - base);
    }
    if (base + mapped > aligned + used) {
        ::munmap(reinterpret_cast<void*>(aligned + used), base + mapped - (aligned + used));
    }
    // Advice only: without transparent huge pages the memory is ordinary pages.
    ::madvise(reinterpret_cast<void*>(aligned), used, MADV_HUGEPAGE);
    m_data = reinterpret_cast<std::uint8_t*>(aligned);
    m_mapped = used;
}

FreshMemory::~FreshMemory() {
    if (m_mapped != 0) {
        ::munmap(m_data, m_mapped);
    } else {
        std::free(m_data);
    }
}

} // namespace trestan::toolkit
