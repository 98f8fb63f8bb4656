#pragma once

#include <cstddef>

namespace testsupport {

/// Records the largest single allocation through operator new made while a probe lives. Only
/// available in test programs that link AllocationProbe.cpp, which replaces the global operator new.
class AllocationProbe {
public:
    AllocationProbe();
    ~AllocationProbe();
    AllocationProbe(const AllocationProbe&) = delete;
    AllocationProbe& operator=(const AllocationProbe&) = delete;

    /// Bytes of the largest request seen (successful or not).
    std::size_t largest() const;
};

} // namespace testsupport
