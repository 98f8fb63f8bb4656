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

TEST(ExportFrameChoice, DefaultIsTheFrameWithTheMostBytes) {
    ScratchDirectory scratch;
    const Bytes small = {1, 2, 3, 4};
    const Bytes largest = pixelBytes(std::vector<float>(9, 2.5F)); // 36 bytes
    const Bytes middle = pixelBytes(ramp16(16));                   // 32 bytes
    const std::string input = scratch.file("three.dm4");
    writeDmFile(input, {dmImage(6, {2, 2}, small), dmImage(2, {3, 3}, largest), dmImage(10, {4, 4}, middle)});

    const std::string output = scratch.file("default.raw");
    ASSERT_EQ(runTrestan({"export", input, "-o", output}).exitCode, 0);
    EXPECT_EQ(readFile(output), largest);

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

TEST(ExportTiff, CalibratedImageCarriesPixelSizeAndUnit) {
    ScratchDirectory scratch;
    const Bytes pixels = pixelBytes(ramp16(12));
    dmwriter::ImageDefinition image = dmImage(10, {4, 3}, pixels);
    image.calibrations = std::vector<dmwriter::AxisCalibration>{{0.0F, 0.25F, u"nm"}, {0.0F, 0.5F, u"nm"}};
    const std::string input = scratch.file("calibrated.dm4");
    writeDmFile(input, {image});
    const std::string output = scratch.file("calibrated.tif");
    const ProcessResult result = runTrestan({"export", input, "-o", output});
    ASSERT_EQ(result.exitCode, 0) << result.err;

    const std::vector<TiffPage> pages = readTiff(output);
    ASSERT_EQ(pages.size(), 1U);
    const TiffPage& page = pages[0];
    EXPECT_EQ(page.width, 4U);
    EXPECT_EQ(page.height, 3U);
    EXPECT_EQ(page.bitsPerSample, 16);
    EXPECT_EQ(page.samplesPerPixel, 1);
    EXPECT_EQ(page.sampleFormat, SAMPLEFORMAT_UINT);
    EXPECT_EQ(page.photometric, PHOTOMETRIC_MINISBLACK);
    EXPECT_EQ(page.pixels, pixels);
    // 0.25 nm per pixel is 4e7 pixels per centimetre; 0.5 nm is 2e7.
    EXPECT_EQ(page.resolutionUnit, RESUNIT_CENTIMETER);
    ASSERT_TRUE(page.xResolution && page.yResolution);
    EXPECT_NEAR(*page.xResolution, 4e7, 4e7 * 1e-6);
    EXPECT_NEAR(*page.yResolution, 2e7, 2e7 * 1e-6);
    // ImageJ reads centimetre resolution correctly only with the unit "um" in its description.
    EXPECT_NE(page.description.find("unit=um\n"), std::string::npos) << page.description;
}

TEST(ExportTiff, UnitThatIsNoLengthKeepsPixelsPerUnit) {
    ScratchDirectory scratch;
    dmwriter::ImageDefinition spectrum = dmImage(2, {5}, pixelBytes(std::vector<float>{1, 2, 3, 4, 5}));
    spectrum.calibrations = std::vector<dmwriter::AxisCalibration>{{100.0F, 0.125F, u"eV"}};
    const std::string input = scratch.file("spectrum.dm4");
    writeDmFile(input, {spectrum});
    const std::string output = scratch.file("spectrum.tif");
    ASSERT_EQ(runTrestan({"export", input, "-o", output}).exitCode, 0);
    const std::vector<TiffPage> pages = readTiff(output);
    ASSERT_EQ(pages.size(), 1U);
    EXPECT_EQ(pages[0].width, 5U);
    EXPECT_EQ(pages[0].height, 1U);
    EXPECT_EQ(pages[0].sampleFormat, SAMPLEFORMAT_IEEEFP);
    EXPECT_EQ(pages[0].resolutionUnit, RESUNIT_NONE);
    ASSERT_TRUE(pages[0].xResolution);
    EXPECT_FLOAT_EQ(*pages[0].xResolution, 8.0F);
    EXPECT_NE(pages[0].description.find("unit=eV\n"), std::string::npos) << pages[0].description;
}

TEST(ExportTiff, ThreeAxesBecomePages) {
    ScratchDirectory scratch;
    std::vector<float> values(4 * 3 * 2);
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<float>(i) * 0.5F - 3.0F;
    }
    const Bytes pixels = pixelBytes(values);
    const std::string input = scratch.file("stack.dm4");
    dmwriter::ImageDefinition stack = dmImage(2, {4, 3, 2}, pixels);
    stack.calibrations =
        std::vector<dmwriter::AxisCalibration>{{0.0F, 0.5F, u"nm"}, {0.0F, 0.5F, u"nm"}, {0.0F, 2.0F, u"nm"}};
    writeDmFile(input, {stack});
    const std::string output = scratch.file("stack.tiff");
    ASSERT_EQ(runTrestan({"export", input, "-o", output}).exitCode, 0);

    const std::vector<TiffPage> pages = readTiff(output);
    ASSERT_EQ(pages.size(), 2U);
    const std::size_t pageBytes = 4 * 3 * sizeof(float);
    for (std::size_t i = 0; i < pages.size(); ++i) {
        SCOPED_TRACE("page " + std::to_string(i));
        EXPECT_EQ(pages[i].width, 4U);
        EXPECT_EQ(pages[i].height, 3U);
        EXPECT_EQ(pages[i].bitsPerSample, 32);
        EXPECT_EQ(pages[i].sampleFormat, SAMPLEFORMAT_IEEEFP);
        EXPECT_EQ(pages[i].pixels, Bytes(pixels.begin() + static_cast<std::ptrdiff_t>(i * pageBytes),
                                         pixels.begin() + static_cast<std::ptrdiff_t>((i + 1) * pageBytes)));
    }
    EXPECT_NE(pages[0].description.find("images=2\n"), std::string::npos) << pages[0].description;
    // The distance between slices, 2 nm, in the description's micrometres.
    EXPECT_NE(pages[0].description.find("spacing=0.002\n"), std::string::npos) << pages[0].description;
}

TEST(ExportTiff, ColourFrameIsRgbAndSignedFrameIsSigned) {
    ScratchDirectory scratch;
    const ColourPixels colour = colourPixels(6);
    const Bytes signedPixels = pixelBytes(std::vector<std::int32_t>{-5, 7, -100000, 3, 0, 1});
    const std::string input = scratch.file("two.dm4");
    writeDmFile(input, {dmImage(8, {3, 2}, colour.stored), dmImage(7, {3, 2}, signedPixels)});

    const std::string colourOutput = scratch.file("colour.tif");
    ASSERT_EQ(runTrestan({"export", input, "-o", colourOutput, "--frame", "0"}).exitCode, 0);
    const std::vector<TiffPage> colourPages = readTiff(colourOutput);
    ASSERT_EQ(colourPages.size(), 1U);
    EXPECT_EQ(colourPages[0].photometric, PHOTOMETRIC_RGB);
    EXPECT_EQ(colourPages[0].samplesPerPixel, 3);
    EXPECT_EQ(colourPages[0].bitsPerSample, 8);
    EXPECT_EQ(colourPages[0].pixels, colour.packed);

    const std::string signedOutput = scratch.file("signed.tif");
    ASSERT_EQ(runTrestan({"export", input, "-o", signedOutput, "--frame", "1"}).exitCode, 0);
    const std::vector<TiffPage> signedPages = readTiff(signedOutput);
    ASSERT_EQ(signedPages.size(), 1U);
    EXPECT_EQ(signedPages[0].sampleFormat, SAMPLEFORMAT_INT);
    EXPECT_EQ(signedPages[0].bitsPerSample, 32);
    EXPECT_EQ(signedPages[0].pixels, signedPixels);
    EXPECT_FALSE(signedPages[0].xResolution) << "an uncalibrated frame has no resolution";
}

TEST(ExportPng, GreyScaleIgnoresRareOutliers) {
    ScratchDirectory scratch;
    // A ramp of 200 values and one hot pixel: scaled between the extremes the ramp would be black.
    std::vector<float> values(20 * 10);
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<float>(i);
    }
    values[37] = 1e6F;
    const std::string input = scratch.file("ramp.dm4");
    writeDmFile(input, {dmImage(2, {20, 10}, pixelBytes(values))});
    const std::string output = scratch.file("ramp.png");
    const ProcessResult result = runTrestan({"export", input, "-o", output});
    ASSERT_EQ(result.exitCode, 0) << result.err;

    const PngImage image = readPng(output);
    EXPECT_EQ(image.width, 20U);
    EXPECT_EQ(image.height, 10U);
    EXPECT_EQ(image.bitDepth, 8);
    EXPECT_EQ(image.colourType, PNG_COLOR_TYPE_GRAY);
    ASSERT_EQ(image.pixels.size(), values.size());
    expectMonotonic(std::vector<double>(values.begin(), values.end()), image.pixels);
    EXPECT_EQ(image.pixels[0], 0);
    EXPECT_EQ(image.pixels[37], 255);
    EXPECT_EQ(image.pixels[199], 255);
    EXPECT_GT(image.pixels[100], 100) << "the middle of the ramp should be mid-grey";
    EXPECT_LT(image.pixels[100], 156);
}

TEST(ExportPng, ColourIsKeptAndComplexIsShownByMagnitude) {
    ScratchDirectory scratch;
    const ColourPixels colour = colourPixels(6);
    // Magnitudes 5, 0, 10, 1, 2, 13.
    const std::vector<float> complexValues = {3, 4, 0, 0, -6, 8, 0, 1, 2, 0, 5, -12};
    const std::string input = scratch.file("two.dm4");
    writeDmFile(input, {dmImage(23, {3, 2}, colour.stored), dmImage(3, {3, 2}, pixelBytes(complexValues))});

    const std::string colourOutput = scratch.file("colour.png");
    ASSERT_EQ(runTrestan({"export", input, "-o", colourOutput, "--frame", "0"}).exitCode, 0);
    const PngImage colourImage = readPng(colourOutput);
    EXPECT_EQ(colourImage.colourType, PNG_COLOR_TYPE_RGB);
    EXPECT_EQ(colourImage.width, 3U);
    EXPECT_EQ(colourImage.height, 2U);
    EXPECT_EQ(colourImage.pixels, colour.packed);

    const std::string complexOutput = scratch.file("complex.png");
    ASSERT_EQ(runTrestan({"export", input, "-o", complexOutput, "--frame", "1"}).exitCode, 0);
    const PngImage complexImage = readPng(complexOutput);
    EXPECT_EQ(complexImage.colourType, PNG_COLOR_TYPE_GRAY);
    expectMonotonic({5, 0, 10, 1, 2, 13}, complexImage.pixels);
    EXPECT_EQ(complexImage.pixels[1], 0);
    EXPECT_EQ(complexImage.pixels[5], 255);
}

TEST(ExportPng, ThreeAxesShowTheFirstSlice) {
    ScratchDirectory scratch;
    std::vector<std::int16_t> values(4 * 3 * 2, 0);
    for (std::size_t i = 0; i < 12; ++i) {
        values[i] = static_cast<std::int16_t>(100 - 10 * static_cast<int>(i)); // falling ramp in slice 0
    }
    const std::string input = scratch.file("stack.dm4");
    writeDmFile(input, {dmImage(1, {4, 3, 2}, pixelBytes(values))});
    const std::string output = scratch.file("stack.png");
    ASSERT_EQ(runTrestan({"export", input, "-o", output}).exitCode, 0);
    const PngImage image = readPng(output);
    EXPECT_EQ(image.width, 4U);
    EXPECT_EQ(image.height, 3U);
    expectMonotonic(std::vector<double>(values.begin(), values.begin() + 12), image.pixels);
    EXPECT_EQ(image.pixels[0], 255);
    EXPECT_EQ(image.pixels[11], 0);
}

} // namespace
} // namespace trestan::clitest
