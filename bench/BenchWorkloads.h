#pragma once

#include "dmwriter/DmWriter.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

/// The DM files the benchmarks and the comparison script open, built with the DM writer.
namespace bench {

/// What a built file holds.
struct WorkloadStats {
    std::uint64_t tags = 0;        ///< tag entries in the whole file
    std::uint64_t directories = 0; ///< directory entries (the root not counted)
    std::uint64_t pixelBytes = 0;  ///< pixel bytes of every image
};

/// A file with `tagCount` tags of mixed kinds (scalars of every element type, text, numeric arrays,
/// groups and arrays of groups) in nested directories of a few dozen entries each, the way
/// acquisition software fills "ImageTags", and one small float32 image of `imageSide` squared
/// pixels. Text is stored as DM stores it, as arrays of code 4: HyperSpy, which bench/compare
/// times on the same file, refuses the string kind (code 18).
dmwriter::DmFile tagHeavyFile(std::size_t tagCount, std::uint32_t imageSide = 64,
                              dmwriter::Version version = dmwriter::Version::Dm4,
                              WorkloadStats* stats = nullptr);

/// A file with one float32 image of the given dimensions (axis 0 first: a 2D image, a stack, or a
/// 4-D scan of detector frames) whose bytes are produced while the file is written (never held
/// whole in memory) and are not zero, so the file has no holes; with `sparse` the pixels are left
/// as a hole instead (zeros that take no disk space).
dmwriter::DmFile pixelFile(const std::vector<std::uint32_t>& dimensions,
                           dmwriter::Version version = dmwriter::Version::Dm4, WorkloadStats* stats = nullptr,
                           bool sparse = false);

/// Fills `out` with the float32 pattern of pixelFile at byte `offset` of the pixels.
void fillPixelPattern(std::uint64_t offset, std::span<std::uint8_t> out);

} // namespace bench
