// Frames: one per "ImageList" entry in file order, the element type and properties each DM image
// data type code gives (codes.txt; colour pixels are stored in 4 bytes and served in 3), shapes and
// their bounds, calibration, refusals naming the image, pixels cut short by the end of the file, the
// view-origin records, and pixels past 4 GiB.

#include "CountingStream.h"
#include "GatanTestSupport.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace dmwriter;
using namespace testsupport;
using ::testing::AllOf;
using ::testing::HasSubstr;
using Vector3 = velmora::Vector<double, 3>;

namespace {

FramePtr onlyFrame(const ImageDefinition& written, Version version = Version::Dm4) {
    DmFile file = imageFile({written}, version);
    return openDm(file)->frame(0);
}

/// A file of an image of data type 6 and a second image of `second`, whose "ImageData" and
/// calibration entry 1 `damage` may change.
DmFile twoImages(const ImageDefinition& second, const std::function<void(ImageEntry&, Directory&)>& damage) {
    DmFile file;
    Directory& list = file.root().addDirectory("ImageList");
    addImage(list, rampImage(6, {4, 4}));
    ImageEntry entry = addImage(list, second);
    Directory& dimension = entry.imageData.directory("Calibrations").directory("Dimension");
    damage(entry, dimension.entry(std::min<std::size_t>(1, dimension.size() - 1)).directory());
    return file;
}

} // namespace

TEST(Frames, EveryCodeGivesItsTypePropertiesAndPixelsOrIsRefused) {
    std::ifstream table(TRESTAN_TEST_SOURCE_DIR "/tests/frames/codes.txt");
    int rows = 0;
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::int32_t code = 0;
        std::string type;
        if (line.starts_with("#") || !(fields >> code >> type)) {
            continue;
        }
        ++rows;
        const ImageDefinition written = rampImage(code, {5, 3});
        DmFile file = imageFile({written});
        if (type == "refused") {
            std::string message;
            std::getline(fields >> std::ws, message);
            EXPECT_EQ(openError(file), message);
            continue;
        }
        std::uint32_t interpretation = 0, bitDepth = 0;
        double low = 0, high = 0;
        fields >> interpretation >> bitDepth >> low >> high;
        const FramePtr frame = openDm(file)->frame(0);
        const auto& info = frame->properties()->imageInfo();
        EXPECT_EQ(frame->dataType().value(), std::stoull(type, nullptr, 16)) << line;
        EXPECT_EQ(static_cast<std::uint32_t>(info.interpretation()), interpretation) << line;
        EXPECT_EQ(info.bitDepth(), bitDepth) << line;
        EXPECT_EQ(info.valueRange()[0], low) << line;
        EXPECT_EQ(info.valueRange()[1], high) << line;
        EXPECT_EQ(info.axes(), velmora::ImageTypeId::IMAGE) << line;
        EXPECT_EQ(readWhole(*frame), interpretation == 33 ? dropFourthBytes(written.pixels) : written.pixels)
            << line;
    }
    EXPECT_EQ(rows, 20);
}

TEST(Frames, ShapesAxisZeroFastestAndBounded) {
    for (const std::vector<std::uint32_t>& dimensions : std::vector<std::vector<std::uint32_t>>{
             {4, 3, 2}, {7}, {0, 4, 1}, std::vector<std::uint32_t>(255, 1)}) {
        const ImageDefinition written = rampImage(7, dimensions);
        const FramePtr frame = onlyFrame(written, Version::Dm3);
        EXPECT_EQ(frame->shape(), Shape(std::vector<std::size_t>(dimensions.begin(), dimensions.end())));
        EXPECT_EQ(frame->properties()->imageInfo().axes(), velmora::ImageTypeId::UNKNOWN);
        EXPECT_EQ(readWhole(*frame), written.pixels);
    }
    ImageDefinition wide = rampImage(9, {6, 5});
    wide.dimensionType = ElementType::UInt64; // lengths of any integer type are read
    EXPECT_EQ(onlyFrame(wide)->shape(), (Shape{6, 5}));
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
    EXPECT_EQ(errorOf<velmora::InvalidArgument>([&] { extractor->frame(2); }),
              "Out of bounds, trying to access index 2 when the max value is 1");
    DmFile empty;
    empty.root().addDirectory("ImageList");
    EXPECT_EQ(errorOf<velmora::InvalidArgument>([&] { openDm(empty)->frame(0); }),
              "Out of bounds, trying to access index 0 when the file has no frames");
    // What a frame is made of, named with the image ("DataOffset" stands for the "Data" array); of
    // the calibration, only what is used must be complete.
    for (const std::string removed : {"ImageData", "Dimensions", "DataType", "Data"}) {
        DmFile damaged = twoImages(rampImage(1, {3, 2}), [&](ImageEntry& entry, Directory&) {
            (removed == "ImageData" ? entry.entry : entry.imageData).remove(removed);
        });
        EXPECT_THAT(openError(damaged),
                    AllOf(HasSubstr("Image 1"), HasSubstr(removed == "Data" ? "DataOffset" : removed)));
    }
    ImageDefinition oneAxis = rampImage(6, {2});
    oneAxis.calibrations = std::vector<AxisCalibration>(2);
    DmFile ignored = twoImages(oneAxis, [](ImageEntry&, Directory& axis1) { axis1.remove("Origin"); });
    EXPECT_EQ(openDm(ignored)->frameCount(), 2U);
    for (const std::string missing : {"Origin", "Scale", "Units"}) {
        DmFile damaged =
            twoImages(rampImage(6, {2, 2}), [&](ImageEntry&, Directory& axis1) { axis1.remove(missing); });
        EXPECT_THAT(openError(damaged),
                    AllOf(HasSubstr("Image 1"), HasSubstr("Calibrations/Dimension/item001"),
                          HasSubstr("\"" + missing + "\"")));
    }
}

TEST(Frames, CalibrationOfUpToThreeAxesAndTheUnitOfAxisZero) {
    using Axes = std::vector<AxisCalibration>;
    const auto check = [](std::vector<std::uint32_t> dimensions, std::optional<Axes> axes, Vector3 origin,
                          Vector3 spacing, const std::string& unit) {
        ImageDefinition written = rampImage(6, std::move(dimensions));
        written.withoutCalibrations = !axes;
        written.calibrations = std::move(axes);
        const auto calibration = onlyFrame(written)->properties()->calibration();
        EXPECT_EQ(calibration.origin(), origin) << unit;
        EXPECT_EQ(calibration.spacing(), spacing) << unit;
        EXPECT_EQ(calibration.unit(), unit);
    };
    check({4, 3}, std::nullopt, {0, 0, 0}, {1, 1, 1}, "");
    check({}, Axes{{5.0F, 2.0F, u"nm"}}, {0, 0, 0}, {1, 1, 1}, "");
    check({4, 3}, Axes{{1.5F, 0.25F, u"\u00B5m"}, {-2.0F, 4.0F, u"um"}}, {1.5, -2, 0}, {0.25, 4, 1},
          "\xC2\xB5m");
    check({4, 3, 2}, Axes{{5.0F, 2.0F, u"nm"}}, {5, 0, 0}, {2, 1, 1}, "nm");
    check({9}, Axes{{1.0F, 2.0F, u"s"}, {3.0F, 4.0F, u"m"}}, {1, 0, 0}, {2, 1, 1}, "s");
    check({2, 2, 2, 2},
          Axes{{3.0F, 0.0F, u""}, {-12.5F, 4.0F, u"b"}, {5.0F, -0.5F, u"c"}, {7.0F, 8.0F, u"d"}},
          {3, -12.5, 5}, {0, 4, -0.5}, "");
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
    // From a stream the origin is unknown (the command-line tests show the records of files).
    DmFile file = imageFile({rampImage(6, {2, 2}), rampImage(2, {2, 2})});
    const auto extractor = openDm(file);
    const auto root = extractor->viewOrigin();
    EXPECT_EQ(root->dataOrigin(), velmora::ViewDataOrigin::UNKNOWN);
    EXPECT_EQ(root->displayName(), "GatanPlugin Extractor");
    EXPECT_EQ(root->parentCount(), 0U);
    const auto record = extractor->frame(1)->viewOrigin();
    EXPECT_EQ(record->dataOrigin(), velmora::ViewDataOrigin::UNKNOWN);
    EXPECT_EQ(record->parent(0).get(), root.get());
    EXPECT_NE(record->uid(), root->uid());
    EXPECT_EQ(errorOf([&] { extractor->extension(4); }), "Extension 4 not found");
    // A frame kept after its extractor and its file are gone still reads and names its origin.
    const TemporaryFile temp(file.toBytes(), ".dm4");
    auto fromPath = openPath(temp.path());
    const FramePtr frame = fromPath->frame(1);
    fromPath.reset();
    std::filesystem::remove(temp.path());
    EXPECT_EQ(readWhole(*frame), rampImage(2, {2, 2}).pixels);
    EXPECT_EQ(frame->viewOrigin()->parent(0)->displayName(), "GatanPlugin Extractor");
}

TEST(Frames, PixelsBeyondFourGiBAreReadFromTheirOffset) {
    // A sparse file whose first tag directory holds a "Data" array of 4.5 GiB that the walk skips
    // (eight-byte elements keep the count within DM3's 32-bit entries; the bytes are a hole in the
    // file), then the "ImageList" of a small image whose pixels start beyond 2^32.
    constexpr std::uint64_t HugeBytes = std::uint64_t{9} << 29;
    for (Version version : {Version::Dm3, Version::Dm4}) {
        DmFile file(version);
        file.root().addDirectory("Padding").addTag(
            "Data",
            Tag::generated({ArrayCode, code(ElementType::Float64), static_cast<std::int64_t>(HugeBytes / 8)},
                           GeneratedValue{HugeBytes, {}}));
        const ImageDefinition written = rampImage(10, {16, 8}, 5);
        const Tag& data = addImage(file.root().addDirectory("ImageList"), written).data;
        TemporaryFile temp({}, ".dm4");
        file.writeFile(temp.path());
        ASSERT_GT(data.valueOffset(), HugeBytes);
        struct stat status {};
        ASSERT_EQ(::stat(temp.path().c_str(), &status), 0);
        ASSERT_LT(status.st_blocks * 512, 1 << 20) << "the test file is not sparse";
        EXPECT_EQ(readWhole(*openPath(temp.path())->frame(0)), written.pixels);
    }
}
