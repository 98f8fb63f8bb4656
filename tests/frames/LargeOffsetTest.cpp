// Pixels past 4 GiB: a sparse file whose first tag directory holds a "Data" array of 4.5 GiB that
// the walk skips, followed by the "ImageList" of a small image whose pixels start beyond 2^32.

#include "GatanTestSupport.h"

#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

using namespace dmwriter;
using namespace testsupport;

namespace {

constexpr std::uint64_t HugeBytes = std::uint64_t{9} << 29; // 4.5 GiB

class LargeOffset : public ::testing::TestWithParam<Version> {};

} // namespace

TEST_P(LargeOffset, PixelsBeyondFourGiBAreReadFromTheirOffset) {
    DmFile file(GetParam());
    // Eight-byte elements keep the element count within DM3's 32-bit info entries. The bytes are
    // never written: the file has a hole there.
    file.root().addDirectory("Padding").addTag(
        "Data",
        Tag::generated({ArrayCode, code(ElementType::Float64), static_cast<std::int64_t>(HugeBytes / 8)},
                       GeneratedValue{HugeBytes, {}}));
    ImageDefinition written;
    written.dataType = 10;
    written.dimensions = {16, 8};
    written.pixels = ramp(256, 5);
    const Tag& data = addImage(file.root().addDirectory("ImageList"), written).data;

    TemporaryFile temp({}, GetParam() == Version::Dm3 ? ".dm3" : ".dm4");
    file.writeFile(temp.path());
    ASSERT_GT(data.valueOffset(), HugeBytes);
    ASSERT_EQ(std::filesystem::file_size(temp.path()), file.size());
    struct stat status {};
    ASSERT_EQ(::stat(temp.path().c_str(), &status), 0);
    ASSERT_LT(status.st_blocks * 512, 1 << 20) << "the test file is not sparse";

    const auto extractor = openPath(temp.path());
    const auto imageData =
        extractor->metadata()->child("GATAN")->child("ImageList")->childAt(0)->child("ImageData");
    ASSERT_TRUE(imageData);
    const auto dataOffset = imageData->child("DataOffset");
    ASSERT_TRUE(dataOffset);
    EXPECT_EQ(velmora::VariantDataValueConverter::toUint64(dataOffset->value()), data.valueOffset());

    ASSERT_EQ(extractor->frameCount(), 1U);
    const FramePtr frame = extractor->frame(0);
    EXPECT_EQ(frame->shape(), (Shape{16, 8}));
    EXPECT_EQ(readWhole(*frame), written.pixels);
}

INSTANTIATE_TEST_SUITE_P(BothVersions, LargeOffset, ::testing::Values(Version::Dm3, Version::Dm4),
                         [](const ::testing::TestParamInfo<Version>& info) {
                             return info.param == Version::Dm3 ? "Dm3" : "Dm4";
                         });
