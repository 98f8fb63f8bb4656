#pragma once

#include "velmora/ImageView.h"
#include "velmora/MetadataNode.h"

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

namespace trestan::gatan {

/// Which frames of a DM file are thumbnails and which image is the main one. The file lists its
/// thumbnails itself: every "Thumbnails" entry of the root directory names one "ImageList" index in
/// "ImageIndex". The main image is the first frame that is not a thumbnail.
struct FrameRoles {
    /// One flag per frame, in "ImageList" order.
    std::vector<bool> thumbnail;
    /// The main image; empty when every frame is a thumbnail or there is none.
    std::optional<std::size_t> main;

    bool isThumbnail(std::size_t frame) const { return frame < thumbnail.size() && thumbnail[frame]; }
};

/// The roles of `frameCount` frames of the tree rooted at `root` (the plugin's "root" node).
FrameRoles frameRoles(const velmora::MetadataNode& root, std::size_t frameCount);

/// One image as microscopists read it: the mapped metadata and how its NumPy array is laid out.
struct MappedSignal {
    /// Index of the "ImageList" frame that holds the pixels.
    std::size_t frame = 0;
    /// For each axis of the signal's array, in NumPy order, the frame axis it comes from (axis 0 is
    /// the fastest-varying one of the stored pixels). Frame axes of length 1 are dropped; a spectrum
    /// image has its spectrum axis last, so this can differ from the plain reversed order.
    std::vector<std::size_t> frameAxes;
    /// {"frame", "shape", "axes", "General", "Sample", "Signal", "Acquisition_instrument"}. Keys
    /// whose tags the file lacks are left out; "General" always has a "title" ("" when the image
    /// has no name). docs/metadata-rules.md gives every key's tags.
    nlohmann::json json;
};

/// Maps frame `frame` of the tree rooted at `root`, whose pixels have `frameShape` (axis 0 first).
/// Throws velmora::Error when the tree has no such "ImageList" entry.
MappedSignal mapSignal(const velmora::MetadataNode& root, std::size_t frame,
                       const std::vector<std::size_t>& frameShape);

/// The signals of an opened DM file: one per frame that is not a thumbnail, in frame order.
std::vector<MappedSignal> mapSignals(velmora::MultiImageView& file);

/// The same as a JSON array of the signals' `json` objects.
nlohmann::json signalsJson(velmora::MultiImageView& file);

} // namespace trestan::gatan
