#pragma once

#include "dmwriter/DmImage.h"
#include "dmwriter/DmWriter.h"

#include <cstdint>
#include <string>
#include <vector>

namespace trestan::clitest {

/// Pixel bytes of `values`, little-endian, as DM stores them.
template <typename T> dmwriter::Bytes pixelBytes(const std::vector<T>& values) {
    return dmwriter::littleEndian(std::span<const T>(values.data(), values.size()));
}

/// An "ImageList" entry of the given DM image data type code, shape (axis 0 first) and pixels.
dmwriter::ImageDefinition dmImage(std::int32_t dataType, std::vector<std::uint32_t> dimensions,
                                  dmwriter::Bytes pixels);

/// Writes a DM file whose "ImageList" holds `images`, in order, framed as DM frames its files.
void writeDmFile(const std::string& path, const std::vector<dmwriter::ImageDefinition>& images,
                 dmwriter::Version version = dmwriter::Version::Dm4);

/// A file of 16 bytes that starts like a DM file but carries the version word `version`.
void writeHeaderOnlyFile(const std::string& path, std::uint32_t version);

} // namespace trestan::clitest
