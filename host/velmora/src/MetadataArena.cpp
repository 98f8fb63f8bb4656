#include "velmora/MetadataArena.h"

#include <cstdlib>
#include <limits>
#include <new>
#include <sys/mman.h>

namespace velmora {

namespace {

// Small files make a few hundred nodes: the first blocks are small and come from malloc. Past
// SmallBlockLimit the blocks are 2 MiB-aligned mappings advised for huge pages, growing to
// LargestBlockSize; pages of a mapping that are never touched cost nothing.
constexpr std::size_t FirstBlockSize = std::size_t{16} << 10;
constexpr std::size_t SmallBlockLimit = std::size_t{256} << 10;
constexpr std::size_t HugePageSize = std::size_t{2} << 20;
constexpr std::size_t LargestBlockSize = std::size_t{32} << 20;

thread_local std::shared_ptr<MetadataArena> t_current;

std::size_t roundUpToHugePage(std::size_t bytes) {
    if (bytes > std::numeric_limits<std::size_t>::max() - 2 * HugePageSize) {
        throw std::bad_alloc();
    }
    return (bytes + HugePageSize - 1) & ~(HugePageSize - 1);
}

// `size` bytes (a multiple of HugePageSize) at a 2 MiB boundary: over-map by one huge page, then
// give back the unused ends.
void* mapHugePageBlock(std::size_t size) {
    const std::size_t mapped = size + HugePageSize;
    void* memory = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        throw std::bad_alloc();
    }
    const auto base = reinterpret_cast<std::uintptr_t>(memory);
    const std::uintptr_t aligned = (base + HugePageSize - 1) & ~(std::uintptr_t{HugePageSize} - 1);
    if (aligned > base) {
        ::munmap(memory, aligned - base);
    }
    if (base + mapped > aligned + size) {
        ::munmap(reinterpret_cast<void*>(aligned + size), base + mapped - (aligned + size));
    }
#ifdef MADV_HUGEPAGE
    ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<void*>(aligned);
}

} // namespace

MetadataArena::MetadataArena() : m_nextBlockSize(FirstBlockSize) {}

MetadataArena::~MetadataArena() {
    for (const Block& block : m_blocks) {
        if (block.mapped) {
            ::munmap(block.data, block.size);
        } else {
            std::free(block.data);
        }
    }
}

void* MetadataArena::allocate(std::size_t bytes, std::size_t alignment) {
    std::uintptr_t at = (m_next + alignment - 1) & ~(std::uintptr_t{alignment} - 1);
    if (m_next == 0 || at > m_end || bytes > m_end - at) {
        if (bytes > std::numeric_limits<std::size_t>::max() - alignment) {
            throw std::bad_alloc();
        }
        addBlock(bytes + alignment);
        at = (m_next + alignment - 1) & ~(std::uintptr_t{alignment} - 1);
    }
    m_next = at + bytes;
    return reinterpret_cast<void*>(at);
}

void MetadataArena::addBlock(std::size_t minimum) {
    m_blocks.reserve(m_blocks.size() + 1);
    Block block{nullptr, m_nextBlockSize < minimum ? minimum : m_nextBlockSize, false};
    if (block.size < SmallBlockLimit) {
        block.data = std::malloc(block.size);
        if (block.data == nullptr) {
            throw std::bad_alloc();
        }
        m_nextBlockSize = block.size * 2 < SmallBlockLimit ? block.size * 2 : HugePageSize;
    } else {
        block.size = roundUpToHugePage(block.size);
        block.data = mapHugePageBlock(block.size);
        block.mapped = true;
        m_nextBlockSize = block.size * 2 < LargestBlockSize ? block.size * 2 : LargestBlockSize;
    }
    m_blocks.push_back(block);
    m_next = reinterpret_cast<std::uintptr_t>(block.data);
    m_end = m_next + block.size;
}

MetadataArena::Scope::Scope() : m_previous(std::move(t_current)) {
    t_current = std::make_shared<MetadataArena>();
}

MetadataArena::Scope::~Scope() {
    t_current = std::move(m_previous);
}

const std::shared_ptr<MetadataArena>& MetadataArena::current() {
    return t_current;
}

} // namespace velmora
