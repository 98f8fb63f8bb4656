// The Gatan format as hosts find it in the format registry: by its name and extensions, with the
// index, roles, mapped images and byte reads of the sample, which lists its first frame as a
// thumbnail.

#include "trestan/toolkit/FormatRegistry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <vector>

namespace {

TEST(GatanFormatSupport, ServesTheSampleThroughTheRegistry) {
    const trestan::toolkit::FormatRegistry& registry = trestan::toolkit::FormatRegistry::instance();
    const trestan::toolkit::FormatSupport* support = registry.forPath("any/where/x.DM4");
    ASSERT_NE(support, nullptr);
    EXPECT_EQ(support, registry.forFormat("DM"));
    EXPECT_EQ(support, registry.forPath("x.dm3"));

    const std::string path = TRESTAN_TEST_SOURCE_DIR "/samples/sample.dm4";
    const trestan::toolkit::FileIndex index = support->index(path);
    ASSERT_EQ(index.frames.size(), 2u);
    EXPECT_EQ(index.format, "DM");
    const trestan::toolkit::FrameRoles roles = support->frameRoles(index);
    EXPECT_EQ(roles.thumbnail, (std::vector<bool>{true, false}));
    EXPECT_EQ(roles.main, std::optional<std::size_t>(1));
    const std::vector<trestan::toolkit::MappedImage> images = support->mapImages(index);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].frame, 1u);
    EXPECT_EQ(images[0].json.at("General").at("title"), "Au nanoparticles");

    // The last two pixels of the 128 x 128 int16 image, and the zeros past the end of the file that
    // a frame cut short reads: here the byte range is whole.
    const trestan::toolkit::IndexedFrame& image = index.frames[1];
    ASSERT_EQ(image.byteCount, 128u * 128u * 2u);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::vector<std::int16_t> last(2);
    support->readFrameBytes(fd, image, image.byteCount - 4, 4, last.data());
    ::close(fd);
    std::vector<std::int16_t> expected(2);
    const int again = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::pread(again, expected.data(), 4, static_cast<off_t>(image.offset + image.byteCount - 4)), 4);
    ::close(again);
    EXPECT_EQ(last, expected);
}

} // namespace
