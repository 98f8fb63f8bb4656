// Frame discovery: one frame per "ImageList" entry in file order, frame(i) and its bounds, the
// metadata every frame shares, and the refusal of image entries that lack what a frame is made of.

#include "GatanTestSupport.h"

#include <cstdint>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <vector>

using namespace dmwriter;
using namespace testsupport;
using ::testing::AllOf;
using ::testing::HasSubstr;

namespace {

std::string frameError(GatanExtractor& extractor, std::size_t index) {
    return errorOf<velmora::InvalidArgument>([&] { extractor.frame(index); });
}

} // namespace

TEST(FrameList, EveryEntryIsAFrameInFileOrder) {
    // DM lists the thumbnail first; it is a frame like the others.
    const ImageDefinition thumbnail = rampImage(23, {8, 6}, 11);
    const ImageDefinition second = rampImage(2, {5, 3, 2}, 22);
    const ImageDefinition third = rampImage(9, {7}, 33);
    DmFile file;
    Directory& list = file.root().addDirectory("ImageList");
    addImage(list, thumbnail);
    addImage(list, second);
    addImage(list, third);
    const auto extractor = openDm(file);

    ASSERT_EQ(extractor->frameCount(), 3U);
    EXPECT_EQ(extractor->frame(0)->shape(), (Shape{8, 6}));
    EXPECT_EQ(extractor->frame(0)->dataType().id(), velmora::DataTypeId::RGB8);
    EXPECT_EQ(readWhole(*extractor->frame(0)), dropFourthBytes(thumbnail.pixels));
    EXPECT_EQ(extractor->frame(1)->shape(), (Shape{5, 3, 2}));
    EXPECT_EQ(readWhole(*extractor->frame(1)), second.pixels);
    EXPECT_EQ(extractor->frame(2)->shape(), (Shape{7}));
    EXPECT_EQ(readWhole(*extractor->frame(2)), third.pixels);
    EXPECT_EQ(frameError(*extractor, 3), "Out of bounds, trying to access index 3 when the max value is 2");
    EXPECT_EQ(frameError(*extractor, std::numeric_limits<std::size_t>::max()),
              "Out of bounds, trying to access index 18446744073709551615 when the max value is 2");

    // frame(i) gives the same frame each time; every frame shares the extractor's metadata root.
    EXPECT_EQ(extractor->frame(1).get(), extractor->frame(1).get());
    EXPECT_NE(extractor->frame(0).get(), extractor->frame(1).get());
    const auto root = extractor->metadata();
    ASSERT_TRUE(root);
    EXPECT_EQ(root->name(), "root");
    for (std::size_t i = 0; i < extractor->frameCount(); ++i) {
        EXPECT_EQ(extractor->frame(i)->metadata().get(), root.get()) << "frame " << i;
    }
}

TEST(FrameList, EmptyImageListOpensWithoutFrames) {
    DmFile file;
    file.root().addDirectory("ImageList");
    const auto extractor = openDm(file);
    EXPECT_EQ(extractor->frameCount(), 0U);
    for (std::size_t index : {0, 5}) {
        EXPECT_EQ(frameError(*extractor, index), "Out of bounds, trying to access index " +
                                                     std::to_string(index) + " when the file has no frames");
    }
}

TEST(FrameListErrors, ImageListMustBeInTheRootDirectory) {
    DmFile file;
    file.root().addTag("Other", Tag::int32(1));
    addImage(file.root().addDirectory("Document").addDirectory("ImageList"), rampImage(6, {2, 2}));
    EXPECT_EQ(openError<velmora::Error>(file), "The file has no \"ImageList\" tag directory");
}

TEST(FrameListErrors, EntryLackingWhatAFrameIsMadeOfIsRefusedNamingItAndTheImage) {
    // "DataOffset" is what the walk records in place of the "Data" array.
    for (const std::string removed : {"ImageData", "Dimensions", "DataType", "Data"}) {
        DmFile file;
        Directory& list = file.root().addDirectory("ImageList");
        addImage(list, rampImage(6, {4, 4}));
        ImageEntry second = addImage(list, rampImage(1, {3, 2}));
        Directory& parent = removed == "ImageData" ? second.entry : second.imageData;
        ASSERT_EQ(parent.remove(removed), 1U);
        const std::string named = removed == "Data" ? "DataOffset" : removed;
        const std::string where = removed == "ImageData" ? "ImageList/item001" : "Image 1";
        EXPECT_THAT(openError<velmora::Error>(file),
                    AllOf(HasSubstr("Image 1"), HasSubstr(where), HasSubstr("\"" + named + "\"")))
            << removed;
    }
}
