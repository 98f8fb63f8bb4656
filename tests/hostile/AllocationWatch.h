#pragma once

// Watches the sizes of the allocations the code under test makes through operator new, in programs
// that link AllocationWatch.cpp (it replaces the global allocation functions). Pixel buffers come
// from malloc or mmap and are not seen, which is what the sweeps want: the rules let a frame's buffer
// be as large as the frame declares.

#include "velmora/StreamAccess.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace hostile {

/// While a watch lives: the largest single request, and the largest since the last mark(). Requests
/// above `refuseAbove` fail with std::bad_alloc, so that a regression fails fast instead of
/// exhausting the machine.
class AllocationWatch {
public:
    explicit AllocationWatch(std::size_t refuseAbove = std::size_t{256} << 20);
    ~AllocationWatch();
    AllocationWatch(const AllocationWatch&) = delete;
    AllocationWatch& operator=(const AllocationWatch&) = delete;

    static std::size_t largest();
    static std::size_t largestSinceMark();
    static void mark();
};

/// A stream that notices when the reader asks for more bytes than are left after allocating room
/// for them: for each read, the largest allocation made since the reader's previous call on the
/// stream is the candidate buffer for that read.
class WatchedStream final : public velmora::StreamAccess {
public:
    /// A read of `requested` bytes with only `left` left, after an allocation of `allocated` bytes.
    struct Overdraft {
        std::uint64_t offset;
        std::uint64_t requested;
        std::uint64_t left;
        std::size_t allocated;
    };

    /// Reads larger than the bytes left by at most `tolerance` are not reported.
    WatchedStream(std::shared_ptr<velmora::StreamAccess> inner, std::uint64_t tolerance);

    std::uint64_t capabilities() const override;
    std::uint64_t read(std::uint64_t count, void* destination) override;
    std::uint64_t tell() const override;
    void seek(std::int64_t offset, velmora::SeekOrigin origin) override;
    std::optional<std::uint64_t> size() const override;

    /// The first read that found a buffer allocated for bytes the file does not hold.
    const std::optional<Overdraft>& overdraft() const { return m_overdraft; }

private:
    std::shared_ptr<velmora::StreamAccess> m_inner;
    std::uint64_t m_tolerance;
    std::optional<Overdraft> m_overdraft;
};

} // namespace hostile
