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

/// The whole seed set, in a fixed order: for DM3 and DM4 the tag kinds file (also framed as DM frames
/// its files), one image of every data type the reader supports, images of 0, 1, 3 and 4 axes, a
/// thumbnail followed by a calibrated image, and images of the refused data types 0, 4 and 5.
std::vector<Seed> writerSeeds();

} // namespace gatanfuzz
