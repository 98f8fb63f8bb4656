#pragma once

#include <cstddef>

namespace testsupport {

/// Records the largest single allocation through operator new made while a probe lives, and refuses
/// (with std::bad_alloc) any above `refuseAbove` bytes, so that code that would allocate what a file
/// declares fails fast instead of exhausting the machine. Only available in test programs that link
/// AllocationProbe.cpp, which replaces the global operator new. Pixel buffers that come from malloc
/// or mmap are not seen.
class AllocationProbe {
public:
    explicit AllocationProbe(std::size_t refuseAbove = std::size_t{256} << 20);
    ~AllocationProbe();
    AllocationProbe(const AllocationProbe&) = delete;
    AllocationProbe& operator=(const AllocationProbe&) = delete;

    /// Bytes of the largest request seen (successful or not).
    static std::size_t largest();
    /// Bytes of the largest request seen since the last mark().
    static std::size_t largestSinceMark();
    static void mark();
};

} // namespace testsupport
