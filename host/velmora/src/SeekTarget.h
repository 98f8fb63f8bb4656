#pragma once

#include "velmora/Error.h"
#include "velmora/StreamAccess.h"

#include <cstdint>
#include <fmt/format.h>
#include <optional>

namespace velmora::detail {

/// The absolute position a seek by `offset` from `origin` lands on, for a stream at `current` whose
/// size is `size` when known. Positions before the start, seeks from the end of a stream of unknown
/// size and positions beyond 2^64 - 1 are refused with InvalidArgument.
inline std::uint64_t seekTarget(std::int64_t offset, SeekOrigin origin, std::uint64_t current,
                                std::optional<std::uint64_t> size) {
    std::uint64_t base = 0;
    switch (origin) {
    case SeekOrigin::Begin:
        base = 0;
        break;
    case SeekOrigin::Current:
        base = current;
        break;
    case SeekOrigin::End:
        if (!size) {
            throw InvalidArgument("cannot seek from the end of a stream of unknown size");
        }
        base = *size;
        break;
    default:
        throw InvalidArgument(fmt::format("unknown seek origin {}", static_cast<int>(origin)));
    }
    if (offset < 0) {
        // -offset overflows for INT64_MIN; the unsigned negation does not.
        const std::uint64_t back = 0 - static_cast<std::uint64_t>(offset);
        if (back > base) {
            throw InvalidArgument(
                fmt::format("cannot seek to {} bytes before the start of the stream", back - base));
        }
        return base - back;
    }
    std::uint64_t target = 0;
    if (__builtin_add_overflow(base, static_cast<std::uint64_t>(offset), &target)) {
        throw InvalidArgument("seek position overflows 64 bits");
    }
    return target;
}

} // namespace velmora::detail
