#pragma once

#include "velmora/DataType.h"
#include "velmora/ImageProperties.h"
#include "velmora/Indexer.h"
#include "velmora/MetadataNode.h"
#include "velmora/Vector.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace trestan::toolkit {

/// One frame of an indexed file: what a host needs to describe it and to find its pixels on disk.
struct IndexedFrame {
    /// Position in the file, which is the plugin's frame index.
    std::size_t index = 0;
    /// One length per axis, axis 0 (the fastest-varying in the file) first.
    velmora::VectorX<std::size_t> shape;
    /// The element type of the plugin's frame: what its region read delivers per element.
    velmora::DataType dataType;
    /// The stored pixels: shape, stored element type and byte strides (colour may take 4 bytes).
    velmora::Indexer layout;
    /// Absolute file offset of the first pixel byte.
    std::uint64_t offset = 0;
    /// Bytes the stored pixels take.
    std::uint64_t byteCount = 0;
    /// How many of those bytes the file holds; empty when that is not known.
    std::optional<std::uint64_t> bytesInFile;
    /// Interpretation, bit depth, value range and calibration, as the plugin's frame has them.
    velmora::ImageProperties properties;

    /// True when the file is known to end inside the pixels.
    bool truncated() const { return bytesInFile && *bytesInFile < byteCount; }
};

/// A file's metadata tree and frames, read without a pixel byte.
struct FileIndex {
    /// The format name of the plugin that reads such files ("DM").
    std::string format;
    /// The whole metadata tree, as the plugin gives it.
    std::shared_ptr<velmora::MetadataNode> metadata;
    std::vector<IndexedFrame> frames;
    /// The file's size, where known.
    std::optional<std::uint64_t> fileSize;
};

} // namespace trestan::toolkit
