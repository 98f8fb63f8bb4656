#pragma once

#include "velmora/MetadataNode.h"
#include "velmora/StreamAccess.h"

#include <cstdint>
#include <memory>

/// What the extractor of one DM file and all its frames share: the header's version and byte order,
/// the root of the metadata tree and the stream every byte is read through.
struct GatanHandle {
    std::uint32_t version = 0;
    std::uint32_t byteOrder = 0;
    std::shared_ptr<velmora::MetadataNode> metadata;
    std::shared_ptr<velmora::StreamAccess> stream;
};

// The primitive reads: the only ways the reader takes bytes from the stream. Structural integers
// of a DM file are big-endian; values and pixels are used as stored.

/// Reads exactly `count` bytes. Data that ends early fails with velmora::Error naming the offset:
/// the walk never goes on with bytes the file did not deliver.
void readRaw(GatanHandle& handle, std::uint64_t count, void* destination);

/// Fails exactly as readRaw(count) would when the stream knows it holds fewer than `count` bytes
/// from its position: called before allocating room for bytes the file declares.
void requireAvailable(GatanHandle& handle, std::uint64_t count);

/// Reads up to `count` bytes and returns how many the stream delivered.
std::uint64_t readAvailable(GatanHandle& handle, std::uint64_t count, void* destination);

/// Reads a big-endian integer of T's width and returns it in host order.
template <typename T> T readBigEndian(GatanHandle& handle) {
    static_assert(sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);
    T value;
    readRaw(handle, sizeof(T), &value);
    if constexpr (sizeof(T) == 2) {
        return static_cast<T>(__builtin_bswap16(static_cast<std::uint16_t>(value)));
    } else if constexpr (sizeof(T) == 4) {
        return static_cast<T>(__builtin_bswap32(static_cast<std::uint32_t>(value)));
    } else {
        return static_cast<T>(__builtin_bswap64(static_cast<std::uint64_t>(value)));
    }
}

inline std::uint64_t position(GatanHandle& handle) {
    return handle.stream->tell();
}
inline void seekFromStart(GatanHandle& handle, std::uint64_t offset) {
    handle.stream->seek(static_cast<std::int64_t>(offset), velmora::SeekOrigin::Begin);
}
inline void skip(GatanHandle& handle, std::int64_t count) {
    handle.stream->seek(count, velmora::SeekOrigin::Current);
}
