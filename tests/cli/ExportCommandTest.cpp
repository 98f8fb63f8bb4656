// `trestan export`: frames of files made with our DM writer written as NumPy, TIFF, PNG and raw
// files, read back with their own libraries.

#include "CliTestSupport.h"
#include "ImageFileReaders.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <numeric>
#include <png.h>
#include <tiffio.h>
#include <tuple>

namespace trestan::clitest {
namespace {

std::vector<std::uint16_t> ramp16(std::size_t count) {
    std::vector<std::uint16_t> values(count);
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = static_cast<std::uint16_t>(300 * i + 1);
    }
    return values;
}

// Colour pixels as DM stores them (four bytes, the last unused) and as a region read returns them.
struct ColourPixels {
    Bytes stored;
    Bytes packed;
};

ColourPixels colourPixels(std::size_t count) {
    ColourPixels pixels;
    for (std::size_t i = 0; i < count; ++i) {
        const Bytes pixel = {static_cast<std::uint8_t>(i * 10), static_cast<std::uint8_t>(i * 10 + 1),
                             static_cast<std::uint8_t>(i * 10 + 2)};
        pixels.packed.insert(pixels.packed.end(), pixel.begin(), pixel.end());
        pixels.stored.insert(pixels.stored.end(), pixel.begin(), pixel.end());
        pixels.stored.push_back(0xEE);
    }
    return pixels;
}

// Fails unless the grey levels rise (or stay) wherever the values rise.
void expectMonotonic(const std::vector<double>& values, const std::vector<std::uint8_t>& levels) {
    ASSERT_EQ(values.size(), levels.size());
    std::vector<std::size_t> order(values.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return values[a] < values[b]; });
    for (std::size_t i = 1; i < order.size(); ++i) {
        EXPECT_LE(levels[order[i - 1]], levels[order[i]])
            << "value " << values[order[i - 1]] << " is brighter than " << values[order[i]];
    }
}

TEST(ExportNpyAndRaw, EveryElementTypeGetsItsNumPyTypeReversedShapeAndTheRegionBytes) {
    ScratchDirectory scratch;
    struct Case {
        std::int32_t code;
        std::size_t storedSize;
        std::string descr;
    };
    const std::vector<Case> cases = {{1, 2, "<i2"},  {2, 4, "<f4"},  {3, 8, "<c8"},    {6, 1, "|u1"},
                                     {7, 4, "<i4"},  {8, 4, "|u1"},  {9, 1, "|i1"},    {10, 2, "<u2"},
                                     {11, 4, "<u4"}, {12, 8, "<f8"}, {13, 16, "<c16"}, {14, 1, "|u1"},
                                     {23, 4, "|u1"}};
    for (const Case& c : cases) {
        SCOPED_TRACE("DM data type " + std::to_string(c.code));
        Bytes pixels(4 * 3 * 2 * c.storedSize);
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            pixels[i] = static_cast<std::uint8_t>(c.code == 14 ? i % 2 : i * 7 + 3);
        }
        // Colour pixels are stored in four bytes and exported as their first three, on an axis of
        // their own.
        const bool colour = c.code == 8 || c.code == 23;
        Bytes region;
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            if (!colour || i % 4 != 3) {
                region.push_back(pixels[i]);
            }
        }
        const std::string input = scratch.file("type" + std::to_string(c.code) + ".dm3");
        writeDmFile(input, {dmImage(c.code, {4, 3, 2}, pixels)}, dmwriter::Version::Dm3);
        const std::string output = scratch.file("type" + std::to_string(c.code) + ".npy");
        const ProcessResult result = runTrestan({"export", input, "-o", output});
        ASSERT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
        const NpyArray array = readNpy(output);
        EXPECT_EQ(array.headerSize % 64, 0U);
        EXPECT_EQ(array.descr, c.descr);
        EXPECT_FALSE(array.fortranOrder);
        EXPECT_EQ(array.shape,
                  colour ? (std::vector<std::size_t>{2, 3, 4, 3}) : (std::vector<std::size_t>{2, 3, 4}));
        EXPECT_EQ(array.data, region);

        const std::string raw = scratch.file("type" + std::to_string(c.code) + ".raw");
        ASSERT_EQ(runTrestan({"export", input, "-o", raw}).exitCode, 0);
        EXPECT_EQ(readFile(raw), region);
    }
}

TEST(ExportFrameChoice, DefaultIsTheMainImageNotTheLargest) {
    ScratchDirectory scratch;
    const Bytes small = {1, 2, 3, 4};
    const Bytes largest = pixelBytes(std::vector<float>(9, 2.5F)); // 36 bytes
    const Bytes middle = pixelBytes(ramp16(16));                   // 32 bytes
    const std::string input = scratch.file("three.dm4");
    writeDmFile(input, {dmImage(6, {2, 2}, small), dmImage(2, {3, 3}, largest), dmImage(10, {4, 4}, middle)});

    const std::string output = scratch.file("default.raw");
    ASSERT_EQ(runTrestan({"export", input, "-o", output}).exitCode, 0);
    EXPECT_EQ(readFile(output), small); // no thumbnail list: the first image is the main one

    const std::string chosen = scratch.file("chosen.raw");
    ASSERT_EQ(runTrestan({"export", input, "-o", chosen, "--frame", "2"}).exitCode, 0);
    EXPECT_EQ(readFile(chosen), middle);
}

TEST(ExportOutput, ExportsThatCannotBeMadeAreUsageErrorsAndWriteNothing) {
    ScratchDirectory scratch;
    const std::string input = scratch.file("three.dm4");
    writeDmFile(input, {dmImage(6, {2, 2}, {1, 2, 3, 4}),
                        dmImage(3, {2, 2}, pixelBytes(std::vector<float>{1, 0, 0, 1, 3, 4, -1, -1})),
                        dmImage(2, {5}, pixelBytes(std::vector<float>{1, 2, 3, 4, 5}))});
    struct Case {
        std::string input;
        std::string output;
        std::string frame;
        std::vector<std::string> said;
    };
    const std::vector<Case> cases = {
        {input, "out.npy", "3", {"--frame 3", "3 frame"}},
        {scratch.file("missing.dm4"), "out.bmp", "0", {".npy"}}, // refused before anything is read
        {input, "complex.tif", "1", {"complex", ".npy"}},
        {input, "spectrum.png", "2", {"two axes"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        const std::string output = scratch.file(c.output);
        const ProcessResult result = runTrestan({"export", c.input, "-o", output, "--frame", c.frame});
        EXPECT_EQ(result.exitCode, 2);
        ASSERT_EQ(result.errLines().size(), 1U) << result.err;
        for (const std::string& text : c.said) {
            EXPECT_NE(result.err.find(text), std::string::npos) << result.err;
        }
        EXPECT_FALSE(std::filesystem::exists(output));
    }
}

TEST(ExportOutput, UnwritableOutputExitsWithOneNamingTheOutput) {
    ScratchDirectory scratch;
    const std::string input = scratch.file("one.dm4");
    writeDmFile(input, {dmImage(6, {2, 2}, {1, 2, 3, 4})});
    for (const char* extension : {".npy", ".tif", ".png", ".raw"}) {
        SCOPED_TRACE(extension);
        const std::string output = scratch.file(std::string("no/such/directory/out") + extension);
        const ProcessResult result = runTrestan({"export", input, "-o", output});
        EXPECT_EQ(result.exitCode, 1);
        ASSERT_EQ(result.errLines().size(), 1U) << result.err;
        EXPECT_EQ(result.err.rfind("trestan: " + output + ": ", 0), 0U) << result.err;
    }
}

dmwriter::ImageDefinition calibrated(dmwriter::ImageDefinition image,
                                     std::vector<dmwriter::AxisCalibration> calibrations) {
    image.calibrations = std::move(calibrations);
    return image;
}

// Exports the only image of a fresh file to `extension` and returns the output's path.
std::string exportImage(const ScratchDirectory& scratch, const std::string& name,
                        const dmwriter::ImageDefinition& image, const std::string& extension) {
    const std::string input = scratch.file(name + ".dm4");
    writeDmFile(input, {image});
    const std::string output = scratch.file(name + extension);
    const ProcessResult result = runTrestan({"export", input, "-o", output});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return output;
}

TEST(ExportTiff, PagesSampleLayoutResolutionAndDescription) {
    ScratchDirectory scratch;
    std::vector<float> stackValues(4 * 3 * 2);
    for (std::size_t i = 0; i < stackValues.size(); ++i) {
        stackValues[i] = static_cast<float>(i) * 0.5F - 3.0F;
    }
    const ColourPixels colour = colourPixels(6);
    // 0.25 nm per pixel is 4e7 pixels per centimetre; 0.5 nm is 2e7.
    const auto nm =
        calibrated(dmImage(10, {4, 3}, pixelBytes(ramp16(12))), {{0.0F, 0.25F, u"nm"}, {0.0F, 0.5F, u"nm"}});
    const auto eV =
        calibrated(dmImage(2, {5}, pixelBytes(std::vector<float>{1, 2, 3, 4, 5})), {{100.0F, 0.125F, u"eV"}});
    const auto stack = calibrated(dmImage(2, {4, 3, 2}, pixelBytes(stackValues)),
                                  {{0.0F, 0.5F, u"nm"}, {0.0F, 0.5F, u"nm"}, {0.0F, 2.0F, u"nm"}});
    const auto rgb = dmImage(8, {3, 2}, colour.stored);
    const auto int32 = dmImage(7, {3, 2}, pixelBytes(std::vector<std::int32_t>{-5, 7, -100000, 3, 0, 1}));
    struct Case {
        std::string name;
        dmwriter::ImageDefinition image; ///< a page per index of its third axis
        std::uint16_t bits, samples, format, photometric, resolutionUnit;
        std::optional<float> xResolution, yResolution; ///< none: x has none, y is not checked
        std::vector<std::string> described;
    };
    const std::vector<Case> cases = {
        // ImageJ reads centimetre resolution correctly only with the unit "um" in the description.
        {"nm",
         nm,
         16,
         1,
         SAMPLEFORMAT_UINT,
         PHOTOMETRIC_MINISBLACK,
         RESUNIT_CENTIMETER,
         4e7F,
         2e7F,
         {"unit=um\n"}},
        // A unit that is no length keeps pixels per unit.
        {"eV", eV, 32, 1, SAMPLEFORMAT_IEEEFP, PHOTOMETRIC_MINISBLACK, RESUNIT_NONE, 8.0F, {}, {"unit=eV\n"}},
        // The distance between slices, 2 nm, is in micrometres.
        {"stack",
         stack,
         32,
         1,
         SAMPLEFORMAT_IEEEFP,
         PHOTOMETRIC_MINISBLACK,
         RESUNIT_CENTIMETER,
         2e7F,
         2e7F,
         {"images=2\n", "spacing=0.002\n"}},
        {"rgb", rgb, 8, 3, SAMPLEFORMAT_UINT, PHOTOMETRIC_RGB, RESUNIT_NONE, {}, {}, {}},
        // An uncalibrated frame has no resolution.
        {"int32", int32, 32, 1, SAMPLEFORMAT_INT, PHOTOMETRIC_MINISBLACK, RESUNIT_NONE, {}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<TiffPage> pages = readTiff(exportImage(scratch, c.name, c.image, ".tif"));
        const std::vector<std::uint32_t>& shape = c.image.dimensions;
        ASSERT_EQ(pages.size(), shape.size() > 2 ? shape[2] : 1U);
        Bytes all;
        for (const TiffPage& page : pages) {
            EXPECT_EQ(page.width, shape[0]);
            EXPECT_EQ(page.height, shape.size() > 1 ? shape[1] : 1U);
            EXPECT_EQ(page.bitsPerSample, c.bits);
            EXPECT_EQ(page.samplesPerPixel, c.samples);
            EXPECT_EQ(page.sampleFormat, c.format);
            EXPECT_EQ(page.photometric, c.photometric);
            all.insert(all.end(), page.pixels.begin(), page.pixels.end());
        }
        EXPECT_EQ(all, c.image.dataType == 8 ? colour.packed : c.image.pixels);
        ASSERT_EQ(pages[0].xResolution.has_value(), c.xResolution.has_value());
        if (c.xResolution) {
            EXPECT_FLOAT_EQ(*pages[0].xResolution, *c.xResolution);
        }
        if (c.yResolution) {
            ASSERT_TRUE(pages[0].yResolution);
            EXPECT_FLOAT_EQ(*pages[0].yResolution, *c.yResolution);
        }
        if (c.xResolution) {
            EXPECT_EQ(pages[0].resolutionUnit, c.resolutionUnit);
        }
        for (const std::string& text : c.described) {
            EXPECT_NE(pages[0].description.find(text), std::string::npos) << pages[0].description;
        }
    }
}

TEST(ExportPng, EightBitGreyOrColourScaledByValueIgnoringRareOutliers) {
    ScratchDirectory scratch;
    // A ramp of 200 values and one hot pixel: scaled between the extremes the ramp would be black.
    std::vector<float> ramp(20 * 10);
    for (std::size_t i = 0; i < ramp.size(); ++i) {
        ramp[i] = static_cast<float>(i);
    }
    ramp[37] = 1e6F;
    // Complex values are shown by magnitude: 5, 0, 10, 1, 2, 13.
    const std::vector<float> complexValues = {3, 4, 0, 0, -6, 8, 0, 1, 2, 0, 5, -12};
    // Three axes show the first slice, here a falling ramp.
    std::vector<std::int16_t> stack(4 * 3 * 2, 0);
    for (std::size_t i = 0; i < 12; ++i) {
        stack[i] = static_cast<std::int16_t>(100 - 10 * static_cast<int>(i));
    }
    const ColourPixels colour = colourPixels(6);
    struct Case {
        dmwriter::ImageDefinition image;
        std::vector<double> values; ///< grey levels rise wherever these do; none: colour kept as it is
        std::vector<std::tuple<std::size_t, int, int>> levels; ///< pixel, lowest and highest level
    };
    const std::vector<Case> cases = {
        {dmImage(2, {20, 10}, pixelBytes(ramp)),
         std::vector<double>(ramp.begin(), ramp.end()),
         {{0, 0, 0}, {37, 255, 255}, {199, 255, 255}, {100, 101, 155}}},
        {dmImage(23, {3, 2}, colour.stored), {}, {}},
        {dmImage(3, {3, 2}, pixelBytes(complexValues)), {5, 0, 10, 1, 2, 13}, {{1, 0, 0}, {5, 255, 255}}},
        {dmImage(1, {4, 3, 2}, pixelBytes(stack)),
         std::vector<double>(stack.begin(), stack.begin() + 12),
         {{0, 255, 255}, {11, 0, 0}}},
    };
    for (const Case& c : cases) {
        const std::string name = "type" + std::to_string(c.image.dataType);
        SCOPED_TRACE(name);
        const PngImage image = readPng(exportImage(scratch, name, c.image, ".png"));
        EXPECT_EQ(image.width, c.image.dimensions[0]);
        EXPECT_EQ(image.height, c.image.dimensions[1]);
        EXPECT_EQ(image.bitDepth, 8);
        EXPECT_EQ(image.colourType, c.values.empty() ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY);
        if (c.values.empty()) {
            EXPECT_EQ(image.pixels, colour.packed);
        } else {
            expectMonotonic(c.values, image.pixels);
        }
        for (const auto& [pixel, lowest, highest] : c.levels) {
            ASSERT_LT(pixel, image.pixels.size());
            EXPECT_GE(image.pixels[pixel], lowest) << "pixel " << pixel;
            EXPECT_LE(image.pixels[pixel], highest) << "pixel " << pixel;
        }
    }
}

} // namespace
} // namespace trestan::clitest
