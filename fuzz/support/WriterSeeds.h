#pragma once

// DM files made with the DM writer as starting points for the fuzzer and the hostile-input sweeps:
// every tag kind, every image data type, several shapes, both versions.

#include "dmwriter/DmWriter.h"

#include <string>
#include <vector>

namespace gatanfuzz {

struct Seed {
    std::string name; ///< a file name: what the seed holds and its extension (dm3 or dm4)
    dmwriter::Bytes bytes;
    dmwriter::DmFile::Layout layout; ///< where the writer put the structure and the pixels
};

/// A DM file of every tag kind: scalars of every element code, strings and UTF-16 arrays, arrays of
/// every code, groups, arrays of groups (with and without fields), named and unnamed entries,
/// nested and empty directories, and an "ImageList" of one small image.
dmwriter::DmFile tagKindsFile(dmwriter::Version version);

/// A file of one image of DM image data type `dataType` and the given dimensions, with calibrations
/// and pixels of distinct bytes.
dmwriter::DmFile imageFile(dmwriter::Version version, std::int32_t dataType,
                           const std::vector<std::uint32_t>& dimensions);

/// The whole seed set, in a fixed order: for DM3 and DM4 the tag kinds file (also framed as DM frames
/// its files), one image of every data type the reader supports, images of 0, 1, 3 and 4 axes, a
/// thumbnail followed by a calibrated image, and images of the refused data types 0, 4 and 5.
std::vector<Seed> writerSeeds();

} // namespace gatanfuzz
