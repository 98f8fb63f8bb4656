#pragma once

#include "velmora/MetadataNode.h"
#include "velmora/StreamAccess.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

/// What the extractor of one DM file and all its frames share: the header's version and byte order,
/// the root of the metadata tree and the stream every byte is read through.
///
/// A file that the reader opens itself is read without a buffer of the stream's own, through a
/// read-ahead window: the walk takes its many small fields from memory, and the file sees one read
/// per window (reads past the window at least as large as the next refill, such as pixel arrays,
/// go straight to the destination); the stream's own position is then the end of the window, and the reader's
/// is windowStart + windowIndex. A file that fits the window is read whole in one go. Otherwise the reads
/// start small after the start and after every jump, and double while the walk reads on, up to the window's
/// size: what is read ahead of a pixel array the walk then skips stays small, and a tag-heavy file still
/// takes few reads. A stream handed in by the caller is read exactly as the walk asks, one read or seek per
/// primitive.
struct GatanHandle {
    std::uint32_t version = 0;
    std::uint32_t byteOrder = 0;
    std::shared_ptr<velmora::MetadataNode> metadata;
    std::shared_ptr<velmora::StreamAccess> stream;

    /// Attaches `input` (read from its current position on), through a read-ahead window when
    /// `readAhead`, and asks its size once: a file does not change size while it is read.
    void attach(std::shared_ptr<velmora::StreamAccess> input, bool readAhead);
    /// Opens the file at `path` and attaches it with a read-ahead window. Fails with velmora::Error
    /// naming the path and the system's reason.
    void attachFile(const std::string& path);
    /// Attaches a stream handed in by a caller, read exactly as the walk asks. Refused, before any
    /// byte is read, with velmora::InvalidArgument "input does not support the READ and SEEK
    /// capabilities" unless it can both read and seek.
    void attachStream(std::shared_ptr<velmora::StreamAccess> input);

    /// The stream's size when it knows it.
    std::optional<std::uint64_t> streamSize;

    static constexpr std::size_t ReadAheadWindowSize = std::size_t{64} << 10;
    static constexpr std::size_t FirstRefillSize = std::size_t{16} << 10;
    std::unique_ptr<std::uint8_t[]> window; ///< null: reads go to the stream as asked
    std::size_t windowSize = 0;
    std::uint64_t windowStart = 0; ///< stream offset of window[0]
    std::size_t windowFill = 0;    ///< valid bytes in the window
    std::size_t windowIndex = 0;   ///< next byte to read
    std::size_t refillSize = 0;    ///< bytes the next refill asks for
};

// The primitive reads: the only ways the reader takes bytes from the stream. Structural integers
// of a DM file are big-endian; values and pixels are used as stored.

/// The element of `size` bytes (1, 2, 4 or 8; at most 8 are taken) at `at`, as stored, in the low
/// bytes of the result (the rest are zero). Loads of a fixed width, widened in registers: no call
/// for a copy of variable size, and no narrow store to memory read back whole.
inline std::uint64_t loadElement(const std::uint8_t* at, std::size_t size) {
    switch (size) {
    case 1:
        return *at;
    case 2: {
        std::uint16_t element;
        std::memcpy(&element, at, 2);
        return element;
    }
    case 4: {
        std::uint32_t element;
        std::memcpy(&element, at, 4);
        return element;
    }
    case 8: {
        std::uint64_t element;
        std::memcpy(&element, at, 8);
        return element;
    }
    default: {
        std::uint64_t element = 0;
        std::memcpy(&element, at, std::min<std::size_t>(size, sizeof element));
        return element;
    }
    }
}

/// The big-endian integer of T's width at `at`, in host order.
template <typename T> T loadBigEndian(const std::uint8_t* at) {
    static_assert(sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);
    T value;
    std::memcpy(&value, at, sizeof value);
    if constexpr (sizeof(T) == 2) {
        return static_cast<T>(__builtin_bswap16(static_cast<std::uint16_t>(value)));
    } else if constexpr (sizeof(T) == 4) {
        return static_cast<T>(__builtin_bswap32(static_cast<std::uint32_t>(value)));
    } else {
        return static_cast<T>(__builtin_bswap64(static_cast<std::uint64_t>(value)));
    }
}

/// Reads up to `count` bytes and returns how many the stream delivered (fewer only at its end).
std::uint64_t readAvailable(GatanHandle& handle, std::uint64_t count, void* destination);

/// The reader's position in the stream.
inline std::uint64_t position(const GatanHandle& handle) {
    return handle.window ? handle.windowStart + handle.windowIndex : handle.stream->tell();
}

/// Throws what readRaw throws when `count` bytes were needed at `offset` and `available` came.
[[noreturn]] void throwEndedEarly(std::uint64_t offset, std::uint64_t count, std::uint64_t available);

/// Reads exactly `count` bytes. Data that ends early fails with velmora::Error naming the offset:
/// the walk never goes on with bytes the file did not deliver.
inline void readRaw(GatanHandle& handle, std::uint64_t count, void* destination) {
    if (count <= handle.windowFill - handle.windowIndex && count != 0) {
        std::memcpy(destination, handle.window.get() + handle.windowIndex, count);
        handle.windowIndex += count;
        return;
    }
    const std::uint64_t delivered = readAvailable(handle, count, destination);
    if (delivered != count) {
        throwEndedEarly(position(handle) - delivered, count, delivered);
    }
}

/// Reads one element of `size` bytes (1, 2, 4 or 8) as readRaw does, into the low bytes of the
/// result (the rest are zero).
inline std::uint64_t readElement(GatanHandle& handle, std::size_t size) {
    if (size <= handle.windowFill - handle.windowIndex) {
        const std::uint8_t* at = handle.window.get() + handle.windowIndex;
        handle.windowIndex += size;
        return loadElement(at, size);
    }
    std::uint64_t element = 0;
    readRaw(handle, std::min<std::size_t>(size, sizeof element), &element);
    return element;
}

/// The next `count` bytes, when the read-ahead window holds them all (the reader then moves past
/// them); null otherwise.
inline const std::uint8_t* takeFromWindow(GatanHandle& handle, std::uint64_t count) {
    if (!handle.window || count > handle.windowFill - handle.windowIndex) {
        return nullptr;
    }
    const std::uint8_t* at = handle.window.get() + handle.windowIndex;
    handle.windowIndex += static_cast<std::size_t>(count);
    return at;
}

/// Bytes from the reader's position to the end of a stream that knows its size (0 past the end).
inline std::optional<std::uint64_t> bytesLeft(const GatanHandle& handle) {
    if (!handle.streamSize) {
        return std::nullopt;
    }
    const std::uint64_t at = position(handle);
    return at < *handle.streamSize ? *handle.streamSize - at : 0;
}

/// Fails exactly as readRaw(count) would when the stream knows it holds fewer than `count` bytes
/// from its position: called before allocating room for bytes the file declares.
void requireAvailable(GatanHandle& handle, std::uint64_t count);

/// Reads exactly `count` elements of T, failing as readRaw does. A stream that knows its size has
/// let the caller refuse a count it cannot hold, so the elements are read in one go. A stream that
/// does not know it can only be believed as far as it delivers: the elements are then read in steps
/// that grow with the bytes already read, so memory follows the data that is there and a file of a
/// few bytes that declares gigabytes costs a few kilobytes.
template <typename T, typename Container = std::vector<T>>
Container readElements(GatanHandle& handle, std::uint64_t count) {
    Container elements;
    if (handle.streamSize) {
        elements.resize(count);
        readRaw(handle, count * sizeof(T), elements.data());
        return elements;
    }
    constexpr std::uint64_t FirstStep = (std::uint64_t{64} << 10) / sizeof(T);
    const std::uint64_t offset = position(handle);
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
    std::uint8_t bytes[sizeof(T)];
    readRaw(handle, sizeof(T), bytes);
    return loadBigEndian<T>(bytes);
}

/// Moves to `offset` from the start of the stream.
void seekFromStart(GatanHandle& handle, std::uint64_t offset);
/// Moves `count` bytes on from the current position, as the stream's own relative seek does.
void skip(GatanHandle& handle, std::int64_t count);
