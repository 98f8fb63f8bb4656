// A frame's shape: one axis per "Dimensions" entry, in file order, axis 0 the fastest-varying; the
// axes interpretation of two-axis images; and the limits on the number and length of axes.

#include "FrameTestSupport.h"

#include <cstdint>
#include <cstring>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace dmwriter;
using namespace framestest;
using ::testing::HasSubstr;
using velmora::ImageTypeId;

namespace {

/// `count` signed 32-bit values 3i + 1, little-endian.
Bytes int32Ramp(std::size_t count) {
    Bytes bytes;
    bytes.reserve(count * 4);
    for (std::size_t i = 0; i < count; ++i) {
        const Bytes one = littleEndian(static_cast<std::int32_t>(3 * i + 1));
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    return bytes;
}

std::int32_t int32At(velmora::ImageView& frame, const Shape& index) {
    std::int32_t value = 0;
    frame.read(index, &value);
    return value;
}

std::size_t product(const std::vector<std::uint32_t>& lengths) {
    std::size_t n = 1;
    for (std::uint32_t length : lengths) {
        n *= length;
    }
    return n;
}

} // namespace

TEST(FrameShape, DimensionsGiveTheShapeWithAxisZeroFastest) {
    ImageDefinition written;
    written.dataType = 7;
    written.dimensions = {512, 256};
    written.pixels = int32Ramp(512 * 256);
    DmFile file = singleImageFile(written);
    const FramePtr frame = openFile(file)->frame(0);

    EXPECT_EQ(frame->shape(), (Shape{512, 256}));
    EXPECT_EQ(frame->dataType().id(), velmora::DataTypeId::Int32);
    const Bytes whole = readWhole(*frame);
    ASSERT_EQ(whole.size(), 524288U);
    EXPECT_EQ(whole, written.pixels);
    EXPECT_EQ(int32At(*frame, {1, 0}), 4);
    EXPECT_EQ(int32At(*frame, {0, 1}), 3 * 512 + 1);
    EXPECT_EQ(int32At(*frame, {511, 255}), 3 * (512 * 256 - 1) + 1);
}

TEST(FrameShape, ThreeAxesKeepTheirFileOrder) {
    ImageDefinition written;
    written.dataType = 7;
    written.dimensions = {4, 3, 2};
    written.pixels = int32Ramp(24);
    DmFile file = singleImageFile(written);
    const FramePtr frame = openFile(file)->frame(0);
    EXPECT_EQ(frame->shape(), (Shape{4, 3, 2}));
    // Element (x, y, z) is stored at x + 4y + 12z.
    EXPECT_EQ(int32At(*frame, {3, 0, 0}), 3 * 3 + 1);
    EXPECT_EQ(int32At(*frame, {0, 2, 0}), 3 * 8 + 1);
    EXPECT_EQ(int32At(*frame, {1, 1, 1}), 3 * 17 + 1);
}

TEST(FrameShape, AxesOfLengthOneStay) {
    ImageDefinition written;
    written.dataType = 6;
    written.dimensions = {1, 7, 1};
    written.pixels = ramp(7);
    DmFile file = singleImageFile(written);
    const FramePtr frame = openFile(file)->frame(0);
    EXPECT_EQ(frame->shape(), (Shape{1, 7, 1}));
    EXPECT_EQ(readWhole(*frame), written.pixels);
}

TEST(FrameShape, AnAxisOfLengthZeroGivesAnEmptyFrame) {
    ImageDefinition written;
    written.dataType = 10;
    written.dimensions = {0, 4};
    DmFile file = singleImageFile(written);
    const FramePtr frame = openFile(file)->frame(0);
    EXPECT_EQ(frame->shape(), (Shape{0, 4}));
    EXPECT_TRUE(readWhole(*frame).empty());
}

class DimensionElementType : public ::testing::TestWithParam<ElementType> {};

TEST_P(DimensionElementType, LengthsOfAnyIntegerTypeAreRead) {
    ImageDefinition written;
    written.dataType = 9;
    written.dimensions = {6, 5};
    written.dimensionType = GetParam();
    written.pixels = ramp(30);
    DmFile file = singleImageFile(written, Version::Dm3);
    const FramePtr frame = openFile(file)->frame(0);
    EXPECT_EQ(frame->shape(), (Shape{6, 5}));
    EXPECT_EQ(readWhole(*frame), written.pixels);
}

INSTANTIATE_TEST_SUITE_P(IntegerCodes, DimensionElementType,
                         ::testing::Values(ElementType::Int16, ElementType::UInt16, ElementType::Int32,
                                           ElementType::UInt32, ElementType::Int64, ElementType::UInt64),
                         [](const ::testing::TestParamInfo<ElementType>& info) {
                             return "Code" + std::to_string(code(info.param));
                         });

class AxesInterpretation : public ::testing::TestWithParam<std::vector<std::uint32_t>> {};

TEST_P(AxesInterpretation, OnlyTwoAxisFramesAreImages) {
    ImageDefinition written;
    written.dataType = 2;
    written.dimensions = GetParam();
    written.pixels = ramp(4 * product(written.dimensions));
    DmFile file = singleImageFile(written);
    const FramePtr frame = openFile(file)->frame(0);
    ASSERT_EQ(frame->shape().size(), written.dimensions.size());
    const ImageTypeId expected = written.dimensions.size() == 2 ? ImageTypeId::IMAGE : ImageTypeId::UNKNOWN;
    EXPECT_EQ(frame->properties()->imageInfo().axes(), expected);
}

INSTANTIATE_TEST_SUITE_P(ZeroToFourAxes, AxesInterpretation,
                         ::testing::Values(std::vector<std::uint32_t>{}, std::vector<std::uint32_t>{7},
                                           std::vector<std::uint32_t>{7, 1}, std::vector<std::uint32_t>{1, 1},
                                           std::vector<std::uint32_t>{3, 2, 2},
                                           std::vector<std::uint32_t>{3, 2, 2, 2}),
                         [](const ::testing::TestParamInfo<std::vector<std::uint32_t>>& info) {
                             std::string name = "Shape";
                             for (std::uint32_t length : info.param) {
                                 name += "_" + std::to_string(length);
                             }
                             return name;
                         });

TEST(AxesInterpretationOfColour, TwoAxisColourFramesAreImagesToo) {
    ImageDefinition written;
    written.dataType = 23;
    written.dimensions = {2, 2};
    written.pixels = ramp(16);
    DmFile file = singleImageFile(written);
    const FramePtr frame = openFile(file)->frame(0);
    EXPECT_EQ(frame->properties()->imageInfo().axes(), ImageTypeId::IMAGE);
    EXPECT_EQ(frame->properties()->imageInfo().interpretation(), velmora::ImageInterpretation::RGB);
}

TEST(AxisCount, TwoHundredFiftyFiveAxesAreAccepted) {
    ImageDefinition written;
    written.dataType = 6;
    written.dimensions = std::vector<std::uint32_t>(255, 1);
    written.pixels = {0x5A};
    DmFile file = singleImageFile(written);
    const FramePtr frame = openFile(file)->frame(0);
    EXPECT_EQ(frame->shape(), Shape(255, 1));
    EXPECT_EQ(readWhole(*frame), written.pixels);
}

TEST(AxisCount, TwoHundredFiftySixAxesAreRefused) {
    ImageDefinition written;
    written.dataType = 6;
    written.dimensions = std::vector<std::uint32_t>(256, 1);
    written.pixels = {0x5A};
    DmFile file = singleImageFile(written);
    const std::string message = openError<velmora::Error>(file);
    EXPECT_THAT(message, HasSubstr("Image 0"));
    EXPECT_THAT(message, HasSubstr("256 dimensions"));
}

TEST(AxisLength, NegativeLengthIsRefused) {
    ImageDefinition written;
    written.dataType = 6;
    written.dimensionType = ElementType::Int32;
    written.dimensions = {4, 0xFFFFFFFFU}; // written as the signed 32-bit value -1
    DmFile file = singleImageFile(written);
    const std::string message = openError<velmora::Error>(file);
    EXPECT_THAT(message, HasSubstr("Image 0"));
    EXPECT_THAT(message, HasSubstr("negative length -1 on axis 1"));
}
