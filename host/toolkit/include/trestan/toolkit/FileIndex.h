#pragma once

#include "velmora/MetadataNode.h"
#include "velmora/StoredFrame.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace trestan::toolkit {

/// One frame of an indexed file: what a host needs to describe it and to find its pixels on disk.
using IndexedFrame = velmora::StoredFrame;

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
