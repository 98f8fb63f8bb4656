#pragma once

/// The index of a DM3/DM4 file: its tags, and where each image's pixels lie, without a pixel read.
///
/// The Gatan plugin's open reads a file whole: the tag tree, then every frame's pixels into memory.
/// A host that lists files, prints their tags or reads one frame in pieces builds a DmIndex instead:
///
///     const auto index = trestan::gatan::DmIndex::build("scan.dm4");   // tags only
///     index.metadata();                        // the same tree the plugin gives: "root" / "GATAN" / ...
///     for (const auto& frame : index.frames()) // one per "ImageList" entry, as the plugin's frames
///         frame.shape, frame.dataType, frame.properties, frame.byteCount, frame.bytesInFile;
///     int fd = ::open("scan.dm4", O_RDONLY);
///     trestan::gatan::readFrameBytes(fd, index.frames()[1], first, count, buffer);  // any range
///
/// The index is made by the plugin's own code: the same tag walk and the same description of each
/// image, so it accepts and refuses exactly the files the plugin accepts and refuses, with the same
/// messages. The one difference: a frame that declares more pixels than memory holds fails the
/// plugin's open with std::bad_alloc and is described here as any other. Building an index reads the
/// header and the tags and skips every pixel array; from a path, the reads go through the plugin's
/// read-ahead window, so at most one window past the tags is read at each pixel array. The index
/// writes no log lines and never creates or touches the plugin's logger.
///
/// Pixels: a frame's stored bytes are `byteCount` bytes from file offset `offset`, laid out as
/// `layout` says (axis 0 fastest; little-endian elements, used as stored on the little-endian hosts
/// the reader runs on). They differ from what the plugin's region read gives only for colour: the
/// file stores 4 bytes a pixel, of which the first three are its components, and the plugin's region
/// read delivers those three; `velmora::RegionCopier(frame.layout, region, frame.dataType)` over the
/// stored bytes gives exactly the plugin's region read. A file may end inside a pixel array
/// (`bytesInFile` < `byteCount`); the missing bytes read as zeros, as in the plugin.
///
/// A DmIndex holds no file: it is plain data, cheap to copy, and may be read from any thread.

#include "velmora/DataType.h"
#include "velmora/ImageProperties.h"
#include "velmora/Indexer.h"
#include "velmora/MetadataNode.h"
#include "velmora/RandomAccess.h"
#include "velmora/StoredFrame.h"
#include "velmora/StreamAccess.h"
#include "velmora/Vector.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace trestan::gatan {

class DmIndex {
public:
    /// One image of the file ("ImageList" entry), as the plugin's frame of the same index presents it;
    /// its index is the "ImageList" position.
    struct Frame : velmora::StoredFrame {
        /// The DM image data type code (the "DataType" tag).
        std::int32_t dataTypeCode = 0;
    };

    /// Indexes the file at `path`. Throws velmora::Error naming the path when it cannot be opened,
    /// and what the plugin's open throws for a file it refuses.
    static DmIndex build(const std::string& path);
    /// Indexes a stream from its current position, as the plugin's open of a stream reads it:
    /// velmora::InvalidArgument unless it can read and seek.
    static DmIndex build(std::shared_ptr<velmora::StreamAccess> stream);
    /// Indexes a random-access source.
    static DmIndex build(std::shared_ptr<velmora::RandomAccess> source);

    /// The display name of the view-origin record of the plugin's frames.
    static std::string frameViewName();

    /// 3 or 4.
    std::uint32_t version() const { return m_version; }
    /// The whole tag tree: "root" holding "GATAN", arrays named "Data" replaced by "DataOffset".
    const std::shared_ptr<velmora::MetadataNode>& metadata() const { return m_metadata; }
    /// The frames in "ImageList" order.
    const std::vector<Frame>& frames() const { return m_frames; }
    /// The size of the file when the source knows it.
    std::optional<std::uint64_t> fileSize() const { return m_fileSize; }

private:
    friend class DmIndexBuilder;
    DmIndex() = default;

    std::uint32_t m_version = 0;
    std::shared_ptr<velmora::MetadataNode> m_metadata;
    std::vector<Frame> m_frames;
    std::optional<std::uint64_t> m_fileSize;
};

/// Copies `count` stored bytes of `frame`, from byte `firstByte` of its pixel array on, into
/// `destination`, by positioned reads (pread) of the open file `fd`: any number of threads may read
/// one descriptor at once. Bytes past the end of the file read as zeros. Throws
/// velmora::InvalidArgument when the range is not inside the frame's byteCount bytes, and
/// velmora::Error with the system's reason when a read fails.
void readFrameBytes(int fd, const velmora::StoredFrame& frame, std::uint64_t firstByte, std::uint64_t count,
                    void* destination);
/// The same through a random-access source (its readAt).
void readFrameBytes(const velmora::RandomAccess& source, const velmora::StoredFrame& frame,
                    std::uint64_t firstByte, std::uint64_t count, void* destination);
/// The same through a stream, which is moved to the bytes first (one reader at a time).
void readFrameBytes(velmora::StreamAccess& stream, const velmora::StoredFrame& frame, std::uint64_t firstByte,
                    std::uint64_t count, void* destination);

} // namespace trestan::gatan
