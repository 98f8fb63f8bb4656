#pragma once

#include "velmora/MetadataNode.h"
#include "velmora/StreamAccess.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

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

/// Throws what readRaw throws when `count` bytes were needed at `offset` and `available` came.
[[noreturn]] void throwEndedEarly(std::uint64_t offset, std::uint64_t count, std::uint64_t available);

/// Reads exactly `count` elements of T, failing as readRaw does. A stream that knows its size has
/// let the caller refuse a count it cannot hold, so the elements are read in one go. A stream that
/// does not know it can only be believed as far as it delivers: the elements are then read in steps
/// that grow with the bytes already read, so memory follows the data that is there and a file of a
/// few bytes that declares gigabytes costs a few kilobytes.
template <typename T> std::vector<T> readElements(GatanHandle& handle, std::uint64_t count) {
    std::vector<T> elements;
    if (handle.stream->size()) {
        elements.resize(count);
        readRaw(handle, count * sizeof(T), elements.data());
        return elements;
    }
    constexpr std::uint64_t FirstStep = (std::uint64_t{64} << 10) / sizeof(T);
    const std::uint64_t offset = handle.stream->tell();
    std::uint64_t done = 0;
    while (done < count) {
        const std::uint64_t step = std::min(count - done, std::max(FirstStep, done));
        elements.resize(done + step);
        const std::uint64_t delivered = readAvailable(handle, step * sizeof(T), elements.data() + done);
        if (delivered != step * sizeof(T)) {
            throwEndedEarly(offset, count * sizeof(T), done * sizeof(T) + delivered);
        }
        done += step;
    }
    return elements;
}

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
