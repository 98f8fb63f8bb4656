// Pixel arrays cut short by the end of the file, and frames answering from memory once the file has
// been read. Region copies against a simple model are tested on random layouts in tests/host, the
// pixels each data type code gives in DataTypeTest.

#include "CountingStream.h"
#include "GatanTestSupport.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

using namespace dmwriter;
using namespace testsupport;

namespace {

/// A file whose last bytes are the "Data" array of its only image, cut after `kept` pixel bytes:
/// the walk skips the array without reading it, so the cut only shows in the pixels.
struct CutFile {
    Bytes bytes;
    Bytes pixels;
    std::uint64_t dataOffset = 0;
};

CutFile cutInsidePixels(std::uint32_t width, std::uint32_t height, std::size_t kept) {
    CutFile cut;
    cut.pixels = ramp(std::size_t{width} * height * 4, 3);
    DmFile file;
    Directory& imageData = file.root().addDirectory("ImageList").addDirectory().addDirectory("ImageData");
    Directory& dimensions = imageData.addDirectory("Dimensions");
    dimensions.addTag(Tag::uint32(width));
    dimensions.addTag(Tag::uint32(height));
    imageData.addTag("DataType", Tag::uint32(7));
    const Tag& data = imageData.addTag(
        "Data", Tag::array(code(ElementType::Int32), std::int64_t{width} * height, cut.pixels));
    cut.bytes = file.toBytes();
    cut.dataOffset = data.valueOffset();
    if (data.endOffset() != cut.bytes.size()) {
        throw std::logic_error("the pixel array is not at the end of the file");
    }
    cut.bytes.resize(static_cast<std::size_t>(cut.dataOffset + kept));
    return cut;
}

/// Leaves freed heap blocks of `size` bytes filled with a non-zero pattern, so that a buffer the
/// reader takes from malloc without clearing it shows the pattern instead of zeros.
void leaveDirtyFreedBlocks(std::size_t size) {
    static void* (*volatile s_allocate)(std::size_t) = std::malloc;
    static void (*volatile s_release)(void*) = std::free;
    std::vector<void*> blocks;
    for (int i = 0; i < 8; ++i) {
        void* block = s_allocate(size);
        if (block != nullptr) {
            std::memset(block, 0xA5, size);
            blocks.push_back(block);
        }
    }
    for (void* block : blocks) {
        s_release(block);
    }
}

struct Truncation {
    std::string name;
    std::uint32_t width;
    std::uint32_t height;
    std::size_t kept;
    bool fromPath;
};

std::ostream& operator<<(std::ostream& out, const Truncation& truncation) {
    return out << truncation.name;
}

class TruncatedPixels : public ::testing::TestWithParam<Truncation> {};

} // namespace

TEST_P(TruncatedPixels, FileOpensAndMissingPixelsReadAsZero) {
    const Truncation& truncation = GetParam();
    const CutFile cut = cutInsidePixels(truncation.width, truncation.height, truncation.kept);
    const std::size_t total = cut.pixels.size();
    ASSERT_LT(truncation.kept, total);

    ExtractorPtr extractor;
    const TemporaryFile temp(truncation.fromPath ? cut.bytes : Bytes{}, ".dm4");
    if (truncation.fromPath) {
        ASSERT_EQ(std::filesystem::file_size(temp.path()), cut.bytes.size());
        leaveDirtyFreedBlocks(total);
        extractor = openPath(temp.path());
    } else {
        leaveDirtyFreedBlocks(total);
        extractor = openDm(cut.bytes);
    }
    const FramePtr frame = extractor->frame(0);
    ASSERT_EQ(frame->shape(), (Shape{truncation.width, truncation.height}));

    const Bytes served = readWhole(*frame);
    ASSERT_EQ(served.size(), total);
    Bytes expected(cut.pixels.begin(), cut.pixels.begin() + static_cast<std::ptrdiff_t>(truncation.kept));
    expected.resize(total, 0);
    // Only the first difference is shown, not megabytes of bytes.
    const auto difference =
        std::mismatch(served.begin(), served.end(), expected.begin()).first - served.begin();
    EXPECT_EQ(static_cast<std::size_t>(difference), total)
        << "the first wrong pixel byte; " << truncation.kept << " of them are in the file";
}

// 1000 bytes come from malloc; 4 MiB and more from fresh anonymous mappings.
INSTANTIATE_TEST_SUITE_P(
    SmallAndLargeBuffers, TruncatedPixels,
    ::testing::Values(Truncation{"SmallCutInsideAnElement", 25, 10, 613, false},
                      Truncation{"SmallCutAtTheStart", 25, 10, 0, false},
                      Truncation{"SmallFromPath", 25, 10, 613, true},
                      Truncation{"FourMiBCutInsideAnElement", 1024, 1024, (std::size_t{2} << 20) + 3, false},
                      Truncation{"FourMiBLastByteMissing", 1024, 1024, (std::size_t{4} << 20) - 1, false},
                      Truncation{"SixMiBFromPath", 1536, 1024, (std::size_t{5} << 20) + 1, true}),
    [](const ::testing::TestParamInfo<Truncation>& info) { return info.param.name; });

TEST(FrameLoad, EachFrameIsOneSeekToItsDataOffsetAndOneReadOfItsPixels) {
    DmFile file;
    Directory& list = file.root().addDirectory("ImageList");
    const Tag& firstData = addImage(list, rampImage(10, {6, 5})).data;
    const Tag& secondData = addImage(list, rampImage(8, {3, 3}, 9)).data;
    auto stream = std::make_shared<CountingStream>(memoryStream(file.toBytes()));
    openSource(stream);
    using Event = CountingStream::Event;
    const std::vector<Event> loads{{Event::SeekFromStart, firstData.valueOffset()},
                                   {Event::Read, 60},
                                   {Event::SeekFromStart, secondData.valueOffset()},
                                   {Event::Read, 36}};
    // The frames are loaded after the walk, one after the other; a colour pixel takes 4 bytes.
    const auto& events = stream->events();
    ASSERT_GE(events.size(), loads.size());
    EXPECT_EQ(std::vector<Event>(events.end() - static_cast<std::ptrdiff_t>(loads.size()), events.end()),
              loads);
}

TEST(FrameLoad, RegionsAreServedWithoutTheStream) {
    const ImageDefinition written = rampImage(12, {4, 4});
    DmFile file = imageFile({written}, Version::Dm3);
    auto stream = std::make_shared<CountingStream>(memoryStream(file.toBytes()));
    const ExtractorPtr extractor = openSource(stream);
    stream->close();
    const FramePtr frame = extractor->frame(0);
    EXPECT_EQ(readWhole(*frame), written.pixels);
    EXPECT_EQ(readRegion(*frame, Region({1, 2}, {2, 1})),
              Bytes(written.pixels.begin() + 72, written.pixels.begin() + 88));
}

TEST(FrameLifetime, FrameKeptAfterTheExtractorIsReleasedStillReads) {
    const ImageDefinition written = rampImage(11, {3, 4});
    TemporaryFile temp({}, ".dm3");
    DmFile file = imageFile({written}, Version::Dm3);
    file.writeFile(temp.path());

    auto extractor = openPath(temp.path());
    FramePtr frame = extractor->frame(0);
    const std::weak_ptr<GatanExtractor> watch = extractor;
    extractor.reset();
    ASSERT_TRUE(watch.expired());
    std::filesystem::remove(temp.path());

    EXPECT_EQ(readWhole(*frame), written.pixels);
    ASSERT_TRUE(frame->metadata());
    EXPECT_EQ(frame->metadata()->name(), "root");
    EXPECT_TRUE(frame->metadata()->child("GATAN"));
    const auto origin = frame->viewOrigin();
    ASSERT_EQ(origin->parentCount(), 1U);
    EXPECT_EQ(origin->parent(0)->displayName(), "GatanPlugin Extractor");
}
