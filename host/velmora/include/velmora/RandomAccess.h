#pragma once

#include "velmora/Export.h"

#include <cstdint>

namespace velmora {

/// A source of bytes addressed by offset, without a position of its own (a memory-mapped file,
/// a remote object). StreamAccessFactory::fromRandomAccess turns one into a stream.
class VELMORA_API RandomAccess {
public:
    virtual ~RandomAccess();

    /// Total size in bytes.
    virtual std::uint64_t size() const = 0;

    /// Copies up to `count` bytes starting at `offset` into `destination`; returns the number
    /// copied, fewer than asked only at the end of the data.
    virtual std::uint64_t readAt(std::uint64_t offset, std::uint64_t count, void* destination) const = 0;
};

} // namespace velmora
