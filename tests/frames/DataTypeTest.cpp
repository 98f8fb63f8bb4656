// A frame's element type and shape: the element type and properties each accepted DM image data type
// code gives and the pixel bytes served for it (colour pixels are stored in 4 bytes and served in 3;
// binary pixels are bytes with bit depth 1), the refusal of the other codes, one axis per
// "Dimensions" entry in file order, the axes interpretation of two-axis images and the limits on the
// number and length of axes.

#include "GatanTestSupport.h"

#include <cstdint>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

using namespace dmwriter;
using namespace testsupport;
using ::testing::AllOf;
using ::testing::HasSubstr;
using velmora::ImageInterpretation;
using velmora::ImageTypeId;

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

using I = ImageInterpretation;
const std::vector<AcceptedCode> s_acceptedCodes{
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

class AcceptedDataType : public ::testing::TestWithParam<std::tuple<AcceptedCode, Version>> {};

/// The only frame of a file holding `written`.
FramePtr onlyFrame(const ImageDefinition& written, Version version = Version::Dm4) {
    DmFile file = imageFile({written}, version);
    const ExtractorPtr extractor = openDm(file);
    if (extractor->frameCount() != 1) {
        throw std::logic_error("the file does not have one frame");
    }
    return extractor->frame(0);
}

} // namespace

TEST_P(AcceptedDataType, GivesItsElementTypePropertiesAndStoredPixels) {
    const auto& [expected, version] = GetParam();
    const ImageDefinition written = rampImage(expected.code, {5, 3});
    const FramePtr frame = onlyFrame(written, version);

    EXPECT_EQ(frame->shape(), (Shape{5, 3}));
    EXPECT_EQ(frame->dataType().value(), expected.typeId);
    EXPECT_EQ(frame->dataType().elementSize(), expected.elementSize);
    const auto& info = frame->properties()->imageInfo();
    EXPECT_EQ(info.interpretation(), expected.interpretation);
    EXPECT_EQ(info.axes(), ImageTypeId::IMAGE);
    EXPECT_EQ(info.bitDepth(), expected.bitDepth);
    EXPECT_EQ(info.valueRange()[0], expected.low);
    EXPECT_EQ(info.valueRange()[1], expected.high);
    const Bytes served = readWhole(*frame);
    if (expected.storedSize == expected.elementSize) {
        EXPECT_EQ(served, written.pixels);
    } else {
        EXPECT_EQ(served, dropFourthBytes(written.pixels));
    }
}

INSTANTIATE_TEST_SUITE_P(EveryCode, AcceptedDataType,
                         ::testing::Combine(::testing::ValuesIn(s_acceptedCodes),
                                            ::testing::Values(Version::Dm3, Version::Dm4)),
                         [](const ::testing::TestParamInfo<std::tuple<AcceptedCode, Version>>& info) {
                             return "Code" + std::to_string(std::get<0>(info.param).code) +
                                    (std::get<1>(info.param) == Version::Dm3 ? "Dm3" : "Dm4");
                         });

TEST(RefusedDataType, IsRefusedWithItsCode) {
    std::vector<std::pair<std::int32_t, std::string>> cases = {{5, "Unsupported packed complex format"}};
    for (std::int32_t code :
         {0, 4, 15, 16, 17, 18, 19, 20, 21, 22, 24, 255, -1, std::numeric_limits<std::int32_t>::min(),
          std::numeric_limits<std::int32_t>::max()}) {
        cases.emplace_back(code, "Unsupported data type: " + std::to_string(code));
    }
    for (const auto& [code, message] : cases) {
        // The "DataType" tag is the signed 32-bit code.
        DmFile file;
        Directory& imageData =
            addImage(file.root().addDirectory("ImageList"), rampImage(code, {2, 2})).imageData;
        imageData.remove("DataType");
        imageData.addTag("DataType", Tag::int32(code));
        EXPECT_EQ(openError<velmora::Error>(file), message);
    }
}

TEST(FrameShape, DimensionsGiveTheShapeWithAxisZeroFastest) {
    // Element order against the stored bytes is checked region by region in RegionReadTest.
    for (const std::vector<std::uint32_t>& dimensions :
         std::vector<std::vector<std::uint32_t>>{{512, 256}, {4, 3, 2}, {1, 7, 1}, {0, 4}}) {
        const ImageDefinition written = rampImage(7, dimensions);
        const FramePtr frame = onlyFrame(written);
        EXPECT_EQ(frame->shape(), Shape(std::vector<std::size_t>(dimensions.begin(), dimensions.end())));
        EXPECT_EQ(readWhole(*frame), written.pixels);
    }
    // Lengths of any integer element type are read.
    for (ElementType type : {ElementType::Int16, ElementType::UInt16, ElementType::Int32, ElementType::UInt32,
                             ElementType::Int64, ElementType::UInt64}) {
        ImageDefinition written = rampImage(9, {6, 5});
        written.dimensionType = type;
        const FramePtr frame = onlyFrame(written, Version::Dm3);
        EXPECT_EQ(frame->shape(), (Shape{6, 5})) << code(type);
        EXPECT_EQ(readWhole(*frame), written.pixels) << code(type);
    }
}

TEST(FrameShape, OnlyTwoAxisFramesAreImages) {
    for (const std::vector<std::uint32_t>& dimensions :
         std::vector<std::vector<std::uint32_t>>{{}, {7}, {7, 1}, {1, 1}, {3, 2, 2}, {3, 2, 2, 2}}) {
        for (std::int32_t code : {2, 23}) {
            const FramePtr frame = onlyFrame(rampImage(code, dimensions));
            ASSERT_EQ(frame->shape().size(), dimensions.size());
            EXPECT_EQ(frame->properties()->imageInfo().axes(),
                      dimensions.size() == 2 ? ImageTypeId::IMAGE : ImageTypeId::UNKNOWN)
                << ::testing::PrintToString(dimensions) << " code " << code;
        }
    }
}

TEST(FrameShape, AxisCountAndLengthAreBounded) {
    const ImageDefinition most = rampImage(6, std::vector<std::uint32_t>(255, 1));
    const FramePtr frame = onlyFrame(most);
    EXPECT_EQ(frame->shape(), Shape(255, 1));
    EXPECT_EQ(readWhole(*frame), most.pixels);

    DmFile tooMany = imageFile({rampImage(6, std::vector<std::uint32_t>(256, 1))});
    EXPECT_THAT(openError<velmora::Error>(tooMany), AllOf(HasSubstr("Image 0"), HasSubstr("256 dimensions")));

    ImageDefinition negative = rampImage(6, {4, 1});
    negative.dimensions[1] = 0xFFFFFFFFU; // written as the signed value -1
    negative.dimensionType = ElementType::Int32;
    DmFile negativeFile = imageFile({negative});
    EXPECT_THAT(openError<velmora::Error>(negativeFile),
                AllOf(HasSubstr("Image 0"), HasSubstr("negative length -1 on axis 1")));
}
