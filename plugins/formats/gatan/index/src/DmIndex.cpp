#include "trestan/gatan/DmIndex.h"

#include "DmIndexBuilder.h"
#include "GatanFrameDescription.h"
#include "GatanFrameExtractor.h"
#include "GatanTagWalk.h"
#include "velmora/Error.h"
#include "velmora/MetadataArena.h"
#include "velmora/StreamAccessFactory.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fmt/format.h>
#include <limits>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace trestan::gatan {

DmIndex DmIndexBuilder::build(GatanHandle& handle) {
    const velmora::MetadataArena::Scope metadataMemory;
    GatanTagWalk(handle, GatanTagWalk::Messages::Silent).init();

    DmIndex index;
    index.m_version = handle.version;
    index.m_metadata = handle.metadata;
    index.m_fileSize = handle.streamSize;
    const auto imageList = imageListOf(*handle.metadata);
    index.m_frames.reserve(imageList->childCount());
    std::size_t imageIndex = 0;
    for (const auto& entry : *imageList) {
        GatanFrameDescription description = describeFrame(imageDataOf(*entry, imageIndex), imageIndex);
        // The plugin's frame goes to its pixels before reading them, and a stream may refuse the
        // position (one that no file has): the index goes there too, so that it refuses such a
        // file as the plugin does. A seek reads nothing.
        seekFromStart(handle, description.dataOffset);

        DmIndex::Frame& frame = index.m_frames.emplace_back();
        frame.index = imageIndex;
        frame.shape = std::move(description.shape);
        frame.dataType = description.dataType;
        frame.dataTypeCode = description.dataTypeCode;
        frame.offset = description.dataOffset;
        frame.byteCount = description.layout.byteCount();
        frame.layout = std::move(description.layout);
        frame.properties = *description.properties;
        if (handle.streamSize) {
            const std::uint64_t size = *handle.streamSize;
            frame.bytesInFile = frame.offset < size ? std::min(size - frame.offset, frame.byteCount) : 0;
        }
        ++imageIndex;
    }
    return index;
}

std::string DmIndex::frameViewName() {
    return GatanFrameExtractor::viewOriginName();
}

DmIndex DmIndex::build(const std::string& path) {
    GatanHandle handle;
    handle.attachFile(path);
    return DmIndexBuilder::build(handle);
}

DmIndex DmIndex::build(std::shared_ptr<velmora::StreamAccess> stream) {
    GatanHandle handle;
    handle.attachStream(std::move(stream));
    return DmIndexBuilder::build(handle);
}

DmIndex DmIndex::build(std::shared_ptr<velmora::RandomAccess> source) {
    return build(velmora::StreamAccessFactory::fromRandomAccess(std::move(source)));
}

namespace {

// The file offset of byte `firstByte` of the frame, after checking that `count` bytes from there lie
// in the frame. Empty when that offset is past any a file can have: such bytes read as zeros.
std::optional<std::uint64_t> fileOffset(const velmora::StoredFrame& frame, std::uint64_t firstByte,
                                        std::uint64_t count) {
    if (firstByte > frame.byteCount || count > frame.byteCount - firstByte) {
        throw velmora::InvalidArgument(
            fmt::format("{0} bytes from byte {1} are outside the {2} bytes of frame {3}", count, firstByte,
                        frame.byteCount, frame.index));
    }
    std::uint64_t at = 0;
    if (__builtin_add_overflow(frame.offset, firstByte, &at) ||
        at > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return std::nullopt;
    }
    return at;
}

// Reads with `readSome(offset, bytes, destination)`, which returns how many it delivered (0 at the
// end of the data), until `count` bytes are there or the data ends; zeros fill what it did not hold.
template <typename ReadSome>
void readOrZero(const velmora::StoredFrame& frame, std::uint64_t firstByte, std::uint64_t count,
                void* destination, ReadSome&& readSome) {
    auto* out = static_cast<std::uint8_t*>(destination);
    std::uint64_t done = 0;
    if (const std::optional<std::uint64_t> start = fileOffset(frame, firstByte, count)) {
        while (done < count) {
            const std::uint64_t delivered = readSome(*start + done, count - done, out + done);
            if (delivered == 0) {
                break;
            }
            done += delivered;
        }
    }
    if (done < count) {
        std::memset(out + done, 0, count - done);
    }
}

} // namespace

void readFrameBytes(int fd, const velmora::StoredFrame& frame, std::uint64_t firstByte, std::uint64_t count,
                    void* destination) {
    readOrZero(frame, firstByte, count, destination, [&](std::uint64_t at, std::uint64_t bytes, void* into) {
        // One read moves at most SSIZE_MAX bytes; the loop asks again for the rest.
        const auto asked = static_cast<std::size_t>(
            std::min<std::uint64_t>(bytes, static_cast<std::uint64_t>(std::numeric_limits<ssize_t>::max())));
        for (;;) {
            const ssize_t delivered = ::pread(fd, into, asked, static_cast<off_t>(at));
            if (delivered >= 0) {
                return static_cast<std::uint64_t>(delivered);
            }
            if (errno != EINTR) {
                throw velmora::Error(fmt::format("Cannot read frame {0} at offset {1}: {2}", frame.index, at,
                                                 std::system_category().message(errno)));
            }
        }
    });
}

void readFrameBytes(const velmora::RandomAccess& source, const velmora::StoredFrame& frame,
                    std::uint64_t firstByte, std::uint64_t count, void* destination) {
    readOrZero(frame, firstByte, count, destination, [&](std::uint64_t at, std::uint64_t bytes, void* into) {
        return source.readAt(at, bytes, into);
    });
}

void readFrameBytes(velmora::StreamAccess& stream, const velmora::StoredFrame& frame, std::uint64_t firstByte,
                    std::uint64_t count, void* destination) {
    bool positioned = false;
    readOrZero(frame, firstByte, count, destination, [&](std::uint64_t at, std::uint64_t bytes, void* into) {
        if (!positioned) {
            stream.seek(static_cast<std::int64_t>(at), velmora::SeekOrigin::Begin);
            positioned = true;
        }
        return stream.read(bytes, into);
    });
}

} // namespace trestan::gatan
