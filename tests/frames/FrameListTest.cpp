// Frame discovery: one frame per "ImageList" entry in file order, frame(i) and its bounds, the
// metadata every frame shares, and the refusal of image entries that lack what a frame is made of.

#include "FrameTestSupport.h"

#include <cstdint>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <vector>

using namespace dmwriter;
using namespace framestest;
using ::testing::AllOf;
using ::testing::HasSubstr;

namespace {

ImageDefinition image(std::int32_t dataType, std::vector<std::uint32_t> dimensions, std::size_t storedSize,
                      std::uint8_t seed = 1) {
    ImageDefinition written;
    written.dataType = dataType;
    written.dimensions = std::move(dimensions);
    std::size_t pixels = 1;
    for (std::uint32_t length : written.dimensions) {
        pixels *= length;
    }
    written.pixels = ramp(pixels * storedSize, seed);
    return written;
}

/// A file with two small images, the second of which the test may break.
struct TwoImages {
    DmFile file;
    ImageEntry first;
    ImageEntry second;
};

TwoImages twoImages() {
    DmFile file;
    Directory& list = file.root().addDirectory("ImageList");
    ImageEntry first = addImage(list, image(6, {4, 4}, 1));
    ImageEntry second = addImage(list, image(1, {3, 2}, 2));
    return TwoImages{std::move(file), first, second};
}

template <typename E> std::string frameError(GatanExtractor& extractor, std::size_t index) {
    try {
        extractor.frame(index);
    } catch (const E& error) {
        return error.what();
    } catch (const std::exception& error) {
        return std::string("unexpected exception: ") + error.what();
    }
    return "no exception";
}

} // namespace

TEST(FrameList, EveryEntryIsAFrameInFileOrder) {
    // DM lists the thumbnail first; it is a frame like the others.
    const ImageDefinition thumbnail = image(23, {8, 6}, 4, 11);
    const ImageDefinition second = image(2, {5, 3, 2}, 4, 22);
    const ImageDefinition third = image(9, {7}, 1, 33);
    DmFile file;
    Directory& list = file.root().addDirectory("ImageList");
    addImage(list, thumbnail);
    addImage(list, second);
    addImage(list, third);
    const auto extractor = openFile(file);

    ASSERT_EQ(extractor->frameCount(), 3U);
    EXPECT_EQ(extractor->frame(0)->shape(), (Shape{8, 6}));
    EXPECT_EQ(extractor->frame(0)->dataType().id(), velmora::DataTypeId::RGB8);
    EXPECT_EQ(readWhole(*extractor->frame(0)), dropFourthBytes(thumbnail.pixels));
    EXPECT_EQ(extractor->frame(1)->shape(), (Shape{5, 3, 2}));
    EXPECT_EQ(readWhole(*extractor->frame(1)), second.pixels);
    EXPECT_EQ(extractor->frame(2)->shape(), (Shape{7}));
    EXPECT_EQ(readWhole(*extractor->frame(2)), third.pixels);
    EXPECT_EQ(frameError<velmora::InvalidArgument>(*extractor, 3),
              "Out of bounds, trying to access index 3 when the max value is 2");
}

TEST(FrameList, FrameReturnsTheSameFrameEachTime) {
    TwoImages input = twoImages();
    const auto extractor = openFile(input.file);
    EXPECT_EQ(extractor->frame(1).get(), extractor->frame(1).get());
    EXPECT_NE(extractor->frame(0).get(), extractor->frame(1).get());
}

TEST(FrameList, IndexPastTheLastFrameIsRefused) {
    TwoImages input = twoImages();
    const auto extractor = openFile(input.file);
    ASSERT_EQ(extractor->frameCount(), 2U);
    EXPECT_EQ(frameError<velmora::InvalidArgument>(*extractor, 2),
              "Out of bounds, trying to access index 2 when the max value is 1");
    EXPECT_EQ(frameError<velmora::InvalidArgument>(*extractor, std::numeric_limits<std::size_t>::max()),
              "Out of bounds, trying to access index 18446744073709551615 when the max value is 1");
}

TEST(FrameList, EmptyImageListOpensWithoutFrames) {
    DmFile file;
    file.root().addDirectory("ImageList");
    const auto extractor = openFile(file);
    EXPECT_EQ(extractor->frameCount(), 0U);
    EXPECT_EQ(frameError<velmora::InvalidArgument>(*extractor, 0),
              "Out of bounds, trying to access index 0 when the file has no frames");
    EXPECT_EQ(frameError<velmora::InvalidArgument>(*extractor, 5),
              "Out of bounds, trying to access index 5 when the file has no frames");
}

TEST(FrameList, EveryFrameSharesTheExtractorsMetadataRoot) {
    TwoImages input = twoImages();
    const auto extractor = openFile(input.file);
    const auto root = extractor->metadata();
    ASSERT_TRUE(root);
    EXPECT_EQ(root->name(), "root");
    ASSERT_TRUE(root->child("GATAN"));
    EXPECT_TRUE(root->child("GATAN")->child("ImageList"));
    for (std::size_t i = 0; i < extractor->frameCount(); ++i) {
        EXPECT_EQ(extractor->frame(i)->metadata().get(), root.get()) << "frame " << i;
    }
}

TEST(FrameListErrors, FileWithoutImageListIsRefused) {
    DmFile file;
    file.root().addTag("Other", Tag::int32(1));
    EXPECT_EQ(openError<velmora::Error>(file), "The file has no \"ImageList\" tag directory");
}

TEST(FrameListErrors, ImageListBelowTheRootDirectoryOnlyIsNotFound) {
    DmFile file;
    addImage(file.root().addDirectory("Document").addDirectory("ImageList"), image(6, {2, 2}, 1));
    EXPECT_EQ(openError<velmora::Error>(file), "The file has no \"ImageList\" tag directory");
}

TEST(FrameListErrors, EntryWithoutImageDataIsRefusedWithItsIndex) {
    TwoImages input = twoImages();
    input.second.entry.remove("ImageData");
    EXPECT_THAT(openError<velmora::Error>(input.file),
                AllOf(HasSubstr("Image 1"), HasSubstr("ImageList/item001"), HasSubstr("\"ImageData\"")));
}

class MissingImageDataChild : public ::testing::TestWithParam<std::string> {};

TEST_P(MissingImageDataChild, IsRefusedNamingItAndTheImage) {
    // "DataOffset" is what the walk records in place of the "Data" array.
    const std::string removed = GetParam();
    const std::string named = removed == "Data" ? "DataOffset" : removed;
    TwoImages input = twoImages();
    ASSERT_EQ(input.second.imageData.remove(removed), 1U);
    EXPECT_THAT(openError<velmora::Error>(input.file),
                AllOf(HasSubstr("Image 1"), HasSubstr("\"" + named + "\"")));
}

INSTANTIATE_TEST_SUITE_P(RequiredChildren, MissingImageDataChild,
                         ::testing::Values("Dimensions", "DataType", "Data"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });
