#pragma once

#include "velmora/Export.h"

#include <cstdint>
#include <optional>

namespace velmora {

/// Capability flags of a stream. READ and SEEK together (mask 5) are what a random-access reader needs.
enum StreamCapability : std::uint64_t {
    READ = 1,
    WRITE = 2,
    SEEK = 4,
    SIZE = 8,
};

/// Where a seek counts from.
enum class SeekOrigin : int {
    Begin = 1,   ///< from the start of the stream
    Current = 2, ///< from the current position
    End = 3,     ///< from the end (streams that know their size)
};

/// A byte stream with a position. Implementations: memory, buffered file, random-access adapter.
class VELMORA_API StreamAccess {
public:
    virtual ~StreamAccess();

    /// Bitwise OR of StreamCapability flags.
    virtual std::uint64_t capabilities() const = 0;

    /// Reads up to `count` bytes into `destination` and returns the number delivered; fewer than
    /// asked only at the end of the data. Throws velmora::Error on an input error.
    virtual std::uint64_t read(std::uint64_t count, void* destination) = 0;

    /// Current position, in bytes from the start of the stream.
    virtual std::uint64_t tell() const = 0;

    /// Moves the position. A position before the start is refused with velmora::InvalidArgument; a
    /// position past the end is allowed and makes the next read deliver nothing.
    virtual void seek(std::int64_t offset, SeekOrigin origin) = 0;

    /// Total size in bytes when the stream knows it.
    virtual std::optional<std::uint64_t> size() const = 0;
};

} // namespace velmora
