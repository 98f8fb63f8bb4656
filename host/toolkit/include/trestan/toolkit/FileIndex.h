#pragma once

#include "velmora/Extension.h"
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

    /// The view-origin record of the plugin's frames, as the plugin's frame views report it.
    struct FrameOrigin {
        std::string displayName;
        velmora::ViewDataOrigin dataOrigin = velmora::ViewDataOrigin::UNKNOWN;
        std::size_t parentCount = 0;
    };
    /// Empty where the format does not say.
    std::optional<FrameOrigin> frameOrigin;
};

} // namespace trestan::toolkit
