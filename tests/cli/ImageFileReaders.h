#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace trestan::clitest {

/// One page of a TIFF file as libtiff reads it.
struct TiffPage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint16_t bitsPerSample = 0;
    std::uint16_t samplesPerPixel = 0;
    std::uint16_t sampleFormat = 0;
    std::uint16_t photometric = 0;
    std::optional<float> xResolution;
    std::optional<float> yResolution;
    std::uint16_t resolutionUnit = 0;
    std::string description;
    std::vector<std::uint8_t> pixels; ///< the scanlines back to back
};

/// Every page of a TIFF file; throws std::runtime_error when libtiff cannot read it.
std::vector<TiffPage> readTiff(const std::string& path);

/// A PNG file as libpng reads it.
struct PngImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int bitDepth = 0;
    int colourType = 0;
    std::vector<std::uint8_t> pixels; ///< the rows back to back
};

/// Reads a PNG file; throws std::runtime_error when libpng cannot read it.
PngImage readPng(const std::string& path);

} // namespace trestan::clitest
