#pragma once

#include "trestan/toolkit/FileIndex.h"

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace trestan::toolkit {

/// Which frames of a file are thumbnails, and which one is the main image.
struct FrameRoles {
    /// One flag per frame, in file order.
    std::vector<bool> thumbnail;
    /// The main image; empty when there is none.
    std::optional<std::size_t> main;

    bool isThumbnail(std::size_t frame) const { return frame < thumbnail.size() && thumbnail[frame]; }
};

/// One image as microscopists read it: its mapped metadata and how its NumPy array is laid out.
struct MappedImage {
    /// The frame holding the pixels.
    std::size_t frame = 0;
    /// For each axis of the image's array, in NumPy order, the frame axis it comes from.
    std::vector<std::size_t> frameAxes;
    /// {"frame", "shape", "axes", "General", "Sample", "Signal", "Acquisition_instrument"}, keys
    /// named as HyperSpy names them.
    nlohmann::json json;
};

/// What a file format offers hosts beyond its plugin: the file extensions a scan looks for, an index
/// of a file (its tags and where its pixels lie, read without a pixel), positioned reads of a frame's
/// bytes, the roles of its frames and its microscopy metadata. A format's host-side code derives
/// from this and registers one instance with TRESTAN_REGISTER_FORMAT_SUPPORT; hosts find it in
/// FormatRegistry.
class FormatSupport {
public:
    virtual ~FormatSupport() = default;

    /// The format name its plugin gives ("DM").
    virtual std::string format() const = 0;
    /// File name extensions of the format, lower case, without the dot ("dm3", "dm4").
    virtual std::vector<std::string> extensions() const = 0;

    /// Indexes the file at `path`. Throws velmora::Error with the message the plugin's open would
    /// give for a file it refuses.
    virtual FileIndex index(const std::string& path) const = 0;

    /// Copies `count` stored bytes of `frame`, from byte `firstByte` of its pixels on, into
    /// `destination`, with positioned reads of the open file `fd` (any number of threads at once).
    /// Bytes the file does not hold read as zeros.
    virtual void readFrameBytes(int fd, const IndexedFrame& frame, std::uint64_t firstByte,
                                std::uint64_t count, void* destination) const = 0;

    /// The roles of the frames of `index`. By default no frame is a thumbnail and the largest frame
    /// (the first of the largest) is the main image.
    virtual FrameRoles frameRoles(const FileIndex& index) const;

    /// The microscopy metadata of the image that frame `frame` holds, or nothing where the format
    /// maps none. By default nothing.
    virtual std::optional<MappedImage> mapImage(const FileIndex& index, std::size_t frame) const;

    /// mapImage of each frame that is not a thumbnail, in frame order.
    std::vector<MappedImage> mapImages(const FileIndex& index) const;
};

} // namespace trestan::toolkit
