// Frames: one per "ImageList" entry in file order, the element type and properties each DM image
// data type code gives (colour pixels are stored in 4 bytes and served in 3), shapes and their
// bounds, calibration, refusals naming the image, pixels cut short by the end of the file, and the
// view-origin records.

#include "CountingStream.h"
#include "GatanTestSupport.h"
#include "ViewOriginExtensionImpl.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <vector>

using namespace dmwriter;
using namespace testsupport;
using ::testing::AllOf;
using ::testing::HasSubstr;
using velmora::ImageInterpretation;
using velmora::ImageTypeId;
using Vector3 = velmora::Vector<double, 3>;

namespace {

FramePtr onlyFrame(const ImageDefinition& written, Version version = Version::Dm4) {
    DmFile file = imageFile({written}, version);
    return openDm(file)->frame(0);
}

Directory& dimensionEntry(ImageEntry& entry, std::size_t index) {
    return entry.imageData.directory("Calibrations").directory("Dimension").entry(index).directory();
}

} // namespace

TEST(Frames, EveryAcceptedCodeGivesItsTypePropertiesAndPixels) {
    constexpr double FloatMax = std::numeric_limits<float>::max();
    constexpr double DoubleMax = std::numeric_limits<double>::max();
    using I = ImageInterpretation;
    struct Code {
        std::int32_t code;
        std::uint64_t typeId;
        I interpretation;
        std::uint32_t bitDepth;
        double low;
        double high;
    };
    const std::vector<Code> codes{
        {1, 0x20110, I::GRAYSCALE, 16, -32768.0, 32767.0},
        {2, 0x30120, I::GRAYSCALE, 32, -FloatMax, FloatMax},
        {3, 0x100030220, I::COMPLEX, 32, -FloatMax, FloatMax},
        {6, 0x10108, I::GRAYSCALE, 8, 0.0, 255.0},
        {7, 0x20120, I::GRAYSCALE, 32, -2147483648.0, 2147483647.0},
        {8, 0x10308, I::RGB, 8, 0.0, 255.0},
        {9, 0x20108, I::GRAYSCALE, 8, -128.0, 127.0},
        {10, 0x10110, I::GRAYSCALE, 16, 0.0, 65535.0},
        {11, 0x10120, I::GRAYSCALE, 32, 0.0, 4294967295.0},
        {12, 0x30140, I::GRAYSCALE, 64, -DoubleMax, DoubleMax},
        {13, 0x100030240, I::COMPLEX, 64, -DoubleMax, DoubleMax},
        {14, 0x10108, I::BINARY, 1, 0.0, 1.0},
        {23, 0x10308, I::RGB, 8, 0.0, 255.0},
    };
    for (const Code& expected : codes) {
        for (Version version : {Version::Dm3, Version::Dm4}) {
            const ImageDefinition written = rampImage(expected.code, {5, 3});
            const FramePtr frame = onlyFrame(written, version);
            SCOPED_TRACE("code " + std::to_string(expected.code));
            EXPECT_EQ(frame->shape(), (Shape{5, 3}));
            EXPECT_EQ(frame->dataType().value(), expected.typeId);
            const auto& info = frame->properties()->imageInfo();
            EXPECT_EQ(info.interpretation(), expected.interpretation);
            EXPECT_EQ(info.axes(), ImageTypeId::IMAGE);
            EXPECT_EQ(info.bitDepth(), expected.bitDepth);
            EXPECT_EQ(info.valueRange()[0], expected.low);
            EXPECT_EQ(info.valueRange()[1], expected.high);
            const bool colour = expected.interpretation == I::RGB;
            EXPECT_EQ(readWhole(*frame), colour ? dropFourthBytes(written.pixels) : written.pixels);
            if (colour) { // the strides step over the fourth byte
                EXPECT_EQ(readRegion(*frame, Region({1, 2}, {2, 1})),
                          dropFourthBytes(Bytes(written.pixels.begin() + 44, written.pixels.begin() + 52)));
            }
        }
    }
    for (std::int32_t code : {0, 4, 15, 22, 24, std::numeric_limits<std::int32_t>::max()}) {
        DmFile file = imageFile({rampImage(code, {2, 2})});
        EXPECT_EQ(openError(file), "Unsupported data type: " + std::to_string(code));
    }
    DmFile packed = imageFile({rampImage(5, {2, 2})});
    EXPECT_EQ(openError(packed), "Unsupported packed complex format");
}

TEST(Frames, ShapesAxisZeroFastestAndBounded) {
    for (const std::vector<std::uint32_t>& dimensions : std::vector<std::vector<std::uint32_t>>{
             {4, 3, 2}, {7}, {0, 4, 1}, std::vector<std::uint32_t>(255, 1)}) {
        const ImageDefinition written = rampImage(7, dimensions);
        const FramePtr frame = onlyFrame(written);
        EXPECT_EQ(frame->shape(), Shape(std::vector<std::size_t>(dimensions.begin(), dimensions.end())));
        EXPECT_EQ(frame->properties()->imageInfo().axes(), ImageTypeId::UNKNOWN); // only 2 axes are images
        EXPECT_EQ(readWhole(*frame), written.pixels);
    }
    ImageDefinition wide = rampImage(9, {6, 5});
    wide.dimensionType = ElementType::UInt64; // lengths of any integer type are read
    EXPECT_EQ(onlyFrame(wide, Version::Dm3)->shape(), (Shape{6, 5}));
    DmFile tooMany = imageFile({rampImage(6, std::vector<std::uint32_t>(256, 1))});
    EXPECT_THAT(openError(tooMany), AllOf(HasSubstr("Image 0"), HasSubstr("256 dimensions")));
    ImageDefinition negative = rampImage(6, {4, 1});
    negative.dimensions[1] = 0xFFFFFFFFU;
    negative.dimensionType = ElementType::Int32;
    DmFile negativeFile = imageFile({negative});
    EXPECT_THAT(openError(negativeFile),
                AllOf(HasSubstr("Image 0"), HasSubstr("negative length -1 on axis 1")));
}

TEST(Frames, EveryEntryIsAFrameInFileOrder) {
    const ImageDefinition thumbnail = rampImage(23, {8, 6}, 11);
    const ImageDefinition second = rampImage(2, {5, 3, 2}, 22);
    DmFile file = imageFile({thumbnail, second});
    auto stream = std::make_shared<CountingStream>(memoryStream(file.toBytes()));
    const auto extractor = openSource(stream);
    stream->close(); // frames answer from memory once opened
    ASSERT_EQ(extractor->frameCount(), 2U);
    EXPECT_EQ(readWhole(*extractor->frame(0)), dropFourthBytes(thumbnail.pixels));
    EXPECT_EQ(readWhole(*extractor->frame(1)), second.pixels);
    EXPECT_EQ(extractor->frame(1).get(), extractor->frame(1).get());
    EXPECT_EQ(extractor->frame(1)->metadata().get(), extractor->metadata().get());
    EXPECT_EQ(errorOf<velmora::InvalidArgument>([&] { extractor->frame(2); }),
              "Out of bounds, trying to access index 2 when the max value is 1");
    DmFile empty;
    empty.root().addDirectory("ImageList");
    EXPECT_EQ(errorOf<velmora::InvalidArgument>([&] { openDm(empty)->frame(0); }),
              "Out of bounds, trying to access index 0 when the file has no frames");
    DmFile nested;
    addImage(nested.root().addDirectory("Document").addDirectory("ImageList"), rampImage(6, {2, 2}));
    EXPECT_EQ(openError(nested), "The file has no \"ImageList\" tag directory");
    // What a frame is made of, named with the image ("DataOffset" stands for the "Data" array).
    for (const std::string removed : {"ImageData", "Dimensions", "DataType", "Data"}) {
        DmFile file;
        Directory& list = file.root().addDirectory("ImageList");
        addImage(list, rampImage(6, {4, 4}));
        ImageEntry entry = addImage(list, rampImage(1, {3, 2}));
        ASSERT_EQ((removed == "ImageData" ? entry.entry : entry.imageData).remove(removed), 1U);
        EXPECT_THAT(openError(file),
                    AllOf(HasSubstr("Image 1"), HasSubstr(removed == "Data" ? "DataOffset" : removed)));
    }
}

TEST(Frames, CalibrationOfUpToThreeAxesAndTheUnitOfAxisZero) {
    using Axes = std::vector<AxisCalibration>;
    const auto calibrationOf = [](std::vector<std::uint32_t> dimensions, std::optional<Axes> axes) {
        ImageDefinition written = rampImage(6, std::move(dimensions));
        written.calibrations = std::move(axes);
        written.withoutCalibrations = !written.calibrations;
        return onlyFrame(written)->properties()->calibration();
    };
    struct Case {
        std::vector<std::uint32_t> dimensions;
        std::optional<Axes> axes;
        Vector3 origin;
        Vector3 spacing;
        std::string unit;
    };
    const std::vector<Case> cases = {
        {{4, 3}, std::nullopt, {0, 0, 0}, {1, 1, 1}, ""},
        {{}, Axes{{5.0F, 2.0F, u"nm"}}, {0, 0, 0}, {1, 1, 1}, ""},
        {{4, 3},
         Axes{{1.5F, 0.25F, u"\u00B5m"}, {-2.0F, 4.0F, u"um"}},
         {1.5, -2, 0},
         {0.25, 4, 1},
         "\xC2\xB5m"},
        {{4, 3, 2}, Axes{{5.0F, 2.0F, u"nm"}}, {5, 0, 0}, {2, 1, 1}, "nm"},
        {{9}, Axes{{1.0F, 2.0F, u"s"}, {3.0F, 4.0F, u"m"}}, {1, 0, 0}, {2, 1, 1}, "s"},
        {{2, 2, 2, 2},
         Axes{{3.0F, 0.0F, u""}, {-12.5F, 4.0F, u"b"}, {5.0F, -0.5F, u"c"}, {7.0F, 8.0F, u"d"}},
         {3, -12.5, 5},
         {0, 4, -0.5},
         ""},
    };
    for (const Case& c : cases) {
        const auto calibration = calibrationOf(c.dimensions, c.axes);
        EXPECT_EQ(calibration.origin(), c.origin) << c.unit;
        EXPECT_EQ(calibration.spacing(), c.spacing) << c.unit;
        EXPECT_EQ(calibration.unit(), c.unit);
    }
    // An entry used must be complete; ignored ones need not be.
    for (const std::string missing : {"Origin", "Scale", "Units"}) {
        DmFile file;
        Directory& list = file.root().addDirectory("ImageList");
        ImageDefinition oneAxis = rampImage(6, {2});
        oneAxis.calibrations = std::vector<AxisCalibration>(2);
        ImageEntry first = addImage(list, oneAxis);
        dimensionEntry(first, 1).remove(missing);
        ImageEntry second = addImage(list, rampImage(6, {2, 2}));
        dimensionEntry(second, 1).remove(missing);
        EXPECT_THAT(openError(file), AllOf(HasSubstr("Image 1"), HasSubstr("Calibrations/Dimension/item001"),
                                           HasSubstr("\"" + missing + "\"")));
    }
}

TEST(Frames, MissingPixelsReadAsZero) {
    // A file whose last bytes are the pixels of its only image, cut after `kept` bytes: the walk
    // skips them unread, so the cut only shows in the pixels. 1000 bytes come from malloc (made
    // dirty first), 4 MiB and more from fresh mappings.
    for (const auto& [width, height, kept, fromPath] :
         std::vector<std::tuple<std::uint32_t, std::uint32_t, std::size_t, bool>>{
             {25, 10, 613, false},
             {25, 10, 0, true},
             {1024, 1024, (std::size_t{4} << 20) - 1, false},
             {1536, 1024, (std::size_t{5} << 20) + 1, true}}) {
        const Bytes pixels = ramp(std::size_t{width} * height * 4, 3);
        DmFile file;
        Directory& imageData = file.root().addDirectory("ImageList").addDirectory().addDirectory("ImageData");
        imageData.addDirectory("Dimensions").addTag(Tag::uint32(width));
        imageData.directory("Dimensions").addTag(Tag::uint32(height));
        imageData.addTag("DataType", Tag::uint32(7));
        imageData.addTag("Data", Tag::array(code(ElementType::Int32), std::int64_t{width} * height, pixels));
        Bytes bytes = file.toBytes();
        const std::size_t total = pixels.size();
        bytes.resize(bytes.size() - total + kept);
        for (int i = 0; i < 8; ++i) {
            void* (*volatile allocate)(std::size_t) = std::malloc;
            void* block = allocate(total);
            std::memset(block, 0xA5, total);
            std::free(block);
        }
        const TemporaryFile temp(bytes, ".dm4");
        const ExtractorPtr extractor = fromPath ? openPath(temp.path()) : openDm(bytes);
        Bytes expected(pixels.begin(), pixels.begin() + static_cast<std::ptrdiff_t>(kept));
        expected.resize(total, 0);
        EXPECT_TRUE(readWhole(*extractor->frame(0)) == expected)
            << width << "x" << height << " cut at " << kept;
    }
}

TEST(Frames, ViewOriginRecordsAndTheirParents) {
    DmFile file = imageFile({rampImage(6, {2, 2}), rampImage(2, {2, 2})});
    const TemporaryFile temp(file.toBytes(), ".dm4");
    for (const auto& [extractor, origin] : std::vector<std::pair<ExtractorPtr, velmora::ViewDataOrigin>>{
             {openPath(temp.path()), velmora::ViewDataOrigin::FILE},
             {openDm(file), velmora::ViewDataOrigin::UNKNOWN}}) {
        const auto root = extractor->viewOrigin();
        EXPECT_EQ(root->dataOrigin(), origin);
        EXPECT_EQ(root->displayName(), "GatanPlugin Extractor");
        EXPECT_EQ(root->parentCount(), 0U);
        for (std::size_t i = 0; i < 2; ++i) {
            const auto record = extractor->frame(i)->viewOrigin();
            EXPECT_EQ(record->dataOrigin(), origin);
            EXPECT_EQ(record->displayName(), "GatanPlugin frame Extractor");
            ASSERT_EQ(record->parentCount(), 1U);
            EXPECT_EQ(record->parent(0).get(), root.get());
            EXPECT_NE(record->uid(), root->uid());
        }
        EXPECT_EQ(errorOf([&] { extractor->extension(4); }), "Extension 4 not found");
    }
    // A frame kept after its extractor and its file are gone still reads and names its origin.
    auto extractor = openPath(temp.path());
    const FramePtr frame = extractor->frame(1);
    extractor.reset();
    std::filesystem::remove(temp.path());
    EXPECT_EQ(readWhole(*frame), rampImage(2, {2, 2}).pixels);
    EXPECT_EQ(frame->viewOrigin()->parent(0)->displayName(), "GatanPlugin Extractor");
}
