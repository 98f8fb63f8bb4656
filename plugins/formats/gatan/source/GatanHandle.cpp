#include "GatanHandle.h"

#include "velmora/Error.h"
#include "velmora/FileStream.h"

#include <algorithm>
#include <fmt/format.h>

void GatanHandle::attach(std::shared_ptr<velmora::StreamAccess> input, bool readAhead) {
    stream = std::move(input);
    streamSize = stream->size();
    if (!readAhead) {
        return;
    }
    windowStart = stream->tell();
    windowFill = 0;
    windowIndex = 0;
    // No larger than the file: a small file is read in one go into a window of its own size.
    windowSize = ReadAheadWindowSize;
    if (streamSize && *streamSize > windowStart) {
        windowSize = static_cast<std::size_t>(
            std::clamp<std::uint64_t>(*streamSize - windowStart, 4096, ReadAheadWindowSize));
    }
    window.reset(new std::uint8_t[windowSize]);
    refillSize = streamSize && *streamSize - windowStart <= windowSize ? windowSize : FirstRefillSize;
}

void GatanHandle::attachFile(const std::string& path) {
    attach(std::make_shared<velmora::FileStream>(path), true);
}

void GatanHandle::attachStream(std::shared_ptr<velmora::StreamAccess> input) {
    constexpr std::uint64_t readAndSeek = velmora::READ | velmora::SEEK;
    if (!input || (input->capabilities() & readAndSeek) != readAndSeek) {
        throw velmora::InvalidArgument("input does not support the READ and SEEK capabilities");
    }
    attach(std::move(input), false);
}

void throwEndedEarly(std::uint64_t offset, std::uint64_t count, std::uint64_t available) {
    throw velmora::Error(fmt::format("DM data ended early at offset {0}: {1} bytes needed, {2} available",
                                     offset, count, available));
}

std::uint64_t readAvailable(GatanHandle& handle, std::uint64_t count, void* destination) {
    if (!handle.window) {
        return handle.stream->read(count, destination);
    }
    auto* out = static_cast<std::uint8_t*>(destination);
    std::uint64_t done = std::min<std::uint64_t>(count, handle.windowFill - handle.windowIndex);
    if (done > 0) {
        std::memcpy(out, handle.window.get() + handle.windowIndex, done);
        handle.windowIndex += done;
    }
    while (done < count) {
        // The window is used up: the stream's position is its end, where the reader is.
        handle.windowStart += handle.windowFill;
        handle.windowFill = 0;
        handle.windowIndex = 0;
        // A stream that knows its size is not asked for bytes past its end (one read less there).
        std::uint64_t wanted = handle.refillSize;
        if (handle.streamSize) {
            wanted = handle.windowStart < *handle.streamSize
                         ? std::min<std::uint64_t>(wanted, *handle.streamSize - handle.windowStart)
                         : 0;
        }
        if (wanted == 0) {
            break;
        }
        if (count - done >= wanted) {
            // A refill would go wholly to this read (pixels, mostly): the rest goes straight there.
            const std::uint64_t delivered = handle.stream->read(count - done, out + done);
            handle.windowStart += delivered;
            return done + delivered;
        }
        handle.refillSize = std::min(2 * handle.refillSize, handle.windowSize);
        handle.windowFill = handle.stream->read(wanted, handle.window.get());
        if (handle.windowFill == 0) {
            break;
        }
        const std::uint64_t taken = std::min<std::uint64_t>(count - done, handle.windowFill);
        std::memcpy(out + done, handle.window.get(), taken);
        handle.windowIndex = taken;
        done += taken;
    }
    return done;
}

void requireAvailable(GatanHandle& handle, std::uint64_t count) {
    const std::optional<std::uint64_t> available = bytesLeft(handle);
    if (available && count > *available) {
        throwEndedEarly(position(handle), count, *available);
    }
}

void seekFromStart(GatanHandle& handle, std::uint64_t offset) {
    if (!handle.window) {
        handle.stream->seek(static_cast<std::int64_t>(offset), velmora::SeekOrigin::Begin);
        return;
    }
    if (offset >= handle.windowStart && offset - handle.windowStart <= handle.windowFill) {
        handle.windowIndex = static_cast<std::size_t>(offset - handle.windowStart);
        return;
    }
    handle.stream->seek(static_cast<std::int64_t>(offset), velmora::SeekOrigin::Begin);
    handle.windowStart = handle.stream->tell();
    handle.windowFill = 0;
    handle.windowIndex = 0;
    handle.refillSize = std::min(GatanHandle::FirstRefillSize, handle.windowSize);
}

void skip(GatanHandle& handle, std::int64_t count) {
    if (!handle.window) {
        handle.stream->seek(count, velmora::SeekOrigin::Current);
        return;
    }
    if (count >= 0 && static_cast<std::uint64_t>(count) <= handle.windowFill - handle.windowIndex) {
        handle.windowIndex += static_cast<std::size_t>(count);
        return;
    }
    // The stream moves from where the reader is, not from the end of the window.
    handle.stream->seek(static_cast<std::int64_t>(position(handle)), velmora::SeekOrigin::Begin);
    handle.stream->seek(count, velmora::SeekOrigin::Current);
    handle.windowStart = handle.stream->tell();
    handle.windowFill = 0;
    handle.windowIndex = 0;
    handle.refillSize = std::min(GatanHandle::FirstRefillSize, handle.windowSize);
}
