#pragma once

#include <cstddef>
#include <cstdint>

namespace trestan::toolkit {

/// Fresh memory for a large read: blocks from 4 MiB on are anonymous mappings aligned to 2 MiB and
/// advised with MADV_HUGEPAGE, so that where the kernel offers transparent huge pages a read into them
/// faults once per 2 MiB instead of once per 4 KiB; smaller blocks come from malloc.
class FreshMemory {
public:
    static constexpr std::size_t HugePageSize = std::size_t{2} << 20;
    static constexpr std::size_t HugePageThreshold = std::size_t{4} << 20;

    /// At least `bytes` bytes (one for none); throws std::bad_alloc when they cannot be had.
    explicit FreshMemory(std::size_t bytes);
    ~FreshMemory();
    FreshMemory(const FreshMemory&) = delete;
    FreshMemory& operator=(const FreshMemory&) = delete;

    std::uint8_t* data() const { return m_data; }

private:
    std::uint8_t* m_data = nullptr;
    std::size_t m_mapped = 0; ///< bytes mapped; 0 for malloc memory
};

} // namespace trestan::toolkit
