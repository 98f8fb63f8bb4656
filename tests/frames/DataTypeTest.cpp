// DM image data type codes ("DataType" of an image): the element type each accepted code gives, the
// properties derived from it, the pixel bytes served for it, and the refusal of the other codes.
// Colour pixels are stored in 4 bytes and served in 3; binary pixels are bytes with bit depth 1.

#include "FrameTestSupport.h"

#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

using namespace dmwriter;
using namespace framestest;
using velmora::DataTypeId;
using velmora::ImageInterpretation;

namespace {

struct AcceptedCode {
    std::int32_t code;
    std::uint64_t typeId;
    std::size_t elementSize; ///< bytes served per element
    std::size_t storedSize;  ///< bytes stored per pixel in the file
    ImageInterpretation interpretation;
    std::uint32_t bitDepth;
    double low;
    double high;
};

std::ostream& operator<<(std::ostream& out, const AcceptedCode& accepted) {
    return out << "code " << accepted.code;
}

constexpr double FloatLowest = static_cast<double>(std::numeric_limits<float>::lowest());
constexpr double FloatMax = static_cast<double>(std::numeric_limits<float>::max());
constexpr double DoubleLowest = std::numeric_limits<double>::lowest();
constexpr double DoubleMax = std::numeric_limits<double>::max();

const std::vector<AcceptedCode>& acceptedCodes() {
    using I = ImageInterpretation;
    static const std::vector<AcceptedCode> s_codes{
        {1, 0x20110, 2, 2, I::GRAYSCALE, 16, -32768.0, 32767.0},
        {2, 0x30120, 4, 4, I::GRAYSCALE, 32, FloatLowest, FloatMax},
        {3, 0x100030220, 8, 8, I::COMPLEX, 32, FloatLowest, FloatMax},
        {6, 0x10108, 1, 1, I::GRAYSCALE, 8, 0.0, 255.0},
        {7, 0x20120, 4, 4, I::GRAYSCALE, 32, -2147483648.0, 2147483647.0},
        {8, 0x10308, 3, 4, I::RGB, 8, 0.0, 255.0},
        {9, 0x20108, 1, 1, I::GRAYSCALE, 8, -128.0, 127.0},
        {10, 0x10110, 2, 2, I::GRAYSCALE, 16, 0.0, 65535.0},
        {11, 0x10120, 4, 4, I::GRAYSCALE, 32, 0.0, 4294967295.0},
        {12, 0x30140, 8, 8, I::GRAYSCALE, 64, DoubleLowest, DoubleMax},
        {13, 0x100030240, 16, 16, I::COMPLEX, 64, DoubleLowest, DoubleMax},
        {14, 0x10108, 1, 1, I::BINARY, 1, 0.0, 1.0},
        {23, 0x10308, 3, 4, I::RGB, 8, 0.0, 255.0},
    };
    return s_codes;
}

class AcceptedDataType : public ::testing::TestWithParam<std::tuple<AcceptedCode, Version>> {};

std::string acceptedName(const ::testing::TestParamInfo<std::tuple<AcceptedCode, Version>>& info) {
    return "Code" + std::to_string(std::get<0>(info.param).code) +
           (std::get<1>(info.param) == Version::Dm3 ? "Dm3" : "Dm4");
}

/// An image of shape (5, 3) with ramp pixels of `storedSize` bytes each.
ImageDefinition rampImage(std::int32_t code, std::size_t storedSize) {
    ImageDefinition written;
    written.dataType = code;
    written.dimensions = {5, 3};
    written.pixels = ramp(15 * storedSize);
    return written;
}

/// An image whose "DataType" tag is the signed 32-bit `code`.
DmFile fileWithDataType(std::int32_t code) {
    ImageDefinition written;
    written.dataType = code;
    written.dimensions = {2, 2};
    written.pixels = Bytes(16, 0);
    DmFile file;
    Directory& imageData = addImage(file.root().addDirectory("ImageList"), written).imageData;
    imageData.remove("DataType");
    imageData.addTag("DataType", Tag::int32(code));
    return file;
}

} // namespace

TEST_P(AcceptedDataType, GivesItsElementTypeAndProperties) {
    const auto& [expected, version] = GetParam();
    DmFile file = singleImageFile(rampImage(expected.code, expected.storedSize), version);
    const auto extractor = openFile(file);
    ASSERT_EQ(extractor->frameCount(), 1U);
    const FramePtr frame = extractor->frame(0);

    EXPECT_EQ(frame->shape(), (Shape{5, 3}));
    EXPECT_EQ(frame->dataType().value(), expected.typeId);
    EXPECT_EQ(frame->dataType().elementSize(), expected.elementSize);
    const auto& info = frame->properties()->imageInfo();
    EXPECT_EQ(info.interpretation(), expected.interpretation);
    EXPECT_EQ(info.bitDepth(), expected.bitDepth);
    EXPECT_EQ(info.valueRange()[0], expected.low);
    EXPECT_EQ(info.valueRange()[1], expected.high);
}

TEST_P(AcceptedDataType, WholeFrameReadServesTheStoredPixels) {
    const auto& [expected, version] = GetParam();
    const ImageDefinition written = rampImage(expected.code, expected.storedSize);
    DmFile file = singleImageFile(written, version);
    const FramePtr frame = openFile(file)->frame(0);
    const Bytes served = readWhole(*frame);
    if (expected.storedSize == expected.elementSize) {
        EXPECT_EQ(served, written.pixels);
    } else {
        EXPECT_EQ(served, dropFourthBytes(written.pixels));
    }
}

INSTANTIATE_TEST_SUITE_P(EveryCode, AcceptedDataType,
                         ::testing::Combine(::testing::ValuesIn(acceptedCodes()),
                                            ::testing::Values(Version::Dm3, Version::Dm4)),
                         acceptedName);

class RefusedDataType : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(RefusedDataType, IsRefusedWithItsCode) {
    DmFile file = fileWithDataType(GetParam());
    EXPECT_EQ(openError<velmora::Error>(file), "Unsupported data type: " + std::to_string(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(UnlistedCodes, RefusedDataType,
                         ::testing::Values(0, 4, 15, 16, 17, 18, 19, 20, 21, 22, 24, 255, -1,
                                           std::numeric_limits<std::int32_t>::min(),
                                           std::numeric_limits<std::int32_t>::max()),
                         [](const ::testing::TestParamInfo<std::int32_t>& info) {
                             const std::int32_t code = info.param;
                             return code < 0 ? "Minus" + std::to_string(-static_cast<std::int64_t>(code))
                                             : std::to_string(code);
                         });

TEST(PackedComplexDataType, IsRefusedWithItsOwnMessage) {
    DmFile file = fileWithDataType(5);
    EXPECT_EQ(openError<velmora::Error>(file), "Unsupported packed complex format");
}

class ColourFrame : public ::testing::TestWithParam<std::int32_t> {
protected:
    /// A colour image of the given shape whose stored pixels are a ramp.
    FramePtr open(std::vector<std::uint32_t> dimensions, std::size_t pixelCount) {
        ImageDefinition written;
        written.dataType = GetParam();
        written.dimensions = std::move(dimensions);
        written.pixels = ramp(4 * pixelCount);
        m_stored = written.pixels;
        m_file = singleImageFile(written);
        m_extractor = openFile(m_file);
        return m_extractor->frame(0);
    }

    /// The first three stored bytes of each stored pixel listed, in that order.
    Bytes storedComponents(std::initializer_list<std::size_t> pixels) const {
        Bytes bytes;
        for (std::size_t pixel : pixels) {
            bytes.insert(bytes.end(), m_stored.begin() + static_cast<std::ptrdiff_t>(4 * pixel),
                         m_stored.begin() + static_cast<std::ptrdiff_t>(4 * pixel + 3));
        }
        return bytes;
    }

    Bytes m_stored;
    DmFile m_file;
    ExtractorPtr m_extractor;
};

TEST_P(ColourFrame, FirstRowOfA4By2FrameIsTwelveBytesFromFourStoredPixels) {
    const FramePtr frame = open({4, 2}, 8);
    EXPECT_EQ(readRegion(*frame, Region({0, 0}, {4, 1})), storedComponents({0, 1, 2, 3}));
}

TEST_P(ColourFrame, RowsAreFourTimesTheWidthApart) {
    const FramePtr frame = open({4, 2}, 8);
    EXPECT_EQ(readRegion(*frame, Region({0, 1}, {4, 1})), storedComponents({4, 5, 6, 7}));
    EXPECT_EQ(readRegion(*frame, Region({1, 0}, {1, 2})), storedComponents({1, 5}));
    EXPECT_EQ(readRegion(*frame, Region({2, 1}, {2, 1})), storedComponents({6, 7}));
}

TEST_P(ColourFrame, PlanesAreFourTimesTheWidthTimesTheHeightApart) {
    const FramePtr frame = open({3, 2, 2}, 12);
    EXPECT_EQ(readRegion(*frame, Region({0, 0, 1}, {3, 2, 1})), storedComponents({6, 7, 8, 9, 10, 11}));
    EXPECT_EQ(readRegion(*frame, Region({2, 1, 0}, {1, 1, 2})), storedComponents({5, 11}));
    EXPECT_EQ(readWhole(*frame), dropFourthBytes(m_stored));
}

TEST_P(ColourFrame, OneAxisColourStepsFourBytesPerPixel) {
    const FramePtr frame = open({5}, 5);
    EXPECT_EQ(readRegion(*frame, Region({1}, {3})), storedComponents({1, 2, 3}));
    EXPECT_EQ(frame->properties()->imageInfo().interpretation(), ImageInterpretation::RGB);
}

INSTANTIATE_TEST_SUITE_P(Codes8And23, ColourFrame, ::testing::Values(8, 23),
                         [](const ::testing::TestParamInfo<std::int32_t>& info) {
                             return "Code" + std::to_string(info.param);
                         });

TEST(BinaryFrame, ServesEachStoredByteUnchanged) {
    ImageDefinition written;
    written.dataType = 14;
    written.dimensions = {3, 2};
    written.pixels = {0, 1, 1, 0, 2, 255};
    DmFile file = singleImageFile(written);
    const FramePtr frame = openFile(file)->frame(0);
    EXPECT_EQ(frame->dataType().id(), DataTypeId::UInt8);
    EXPECT_EQ(readWhole(*frame), written.pixels);
}

TEST(ComplexFrame, SinglePrecisionPairsAreServedAsStored) {
    const std::vector<float> values{1.5F, -2.25F, 0.0F, -0.0F, 3e38F, -1e-38F};
    ImageDefinition written;
    written.dataType = 3;
    written.dimensions = {3};
    written.pixels = littleEndian(std::span<const float>(values));
    DmFile file = singleImageFile(written);
    const FramePtr frame = openFile(file)->frame(0);
    const Bytes served = readWhole(*frame);
    ASSERT_EQ(served.size(), values.size() * sizeof(float));
    std::vector<float> pairs(values.size());
    std::memcpy(pairs.data(), served.data(), served.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(std::memcmp(&pairs[i], &values[i], sizeof(float)), 0) << "component " << i;
    }
    EXPECT_EQ(readRegion(*frame, Region({1}, {1})),
              Bytes(written.pixels.begin() + 8, written.pixels.begin() + 16));
}

TEST(ComplexFrame, DoublePrecisionPairsAreServedAsStored) {
    const std::vector<double> values{0.1, -7.0, 1e300, -1e-300};
    ImageDefinition written;
    written.dataType = 13;
    written.dimensions = {1, 2};
    written.pixels = littleEndian(std::span<const double>(values));
    DmFile file = singleImageFile(written);
    const FramePtr frame = openFile(file)->frame(0);
    EXPECT_EQ(frame->dataType().id(), DataTypeId::Complex128);
    EXPECT_EQ(readRegion(*frame, Region({0, 1}, {1, 1})),
              Bytes(written.pixels.begin() + 16, written.pixels.begin() + 32));
    EXPECT_EQ(readWhole(*frame), written.pixels);
}
