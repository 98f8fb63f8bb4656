// A DM file read through its format's index gives the frames and region reads that the plugin's
// open gives: regions of every kind (whole, one element, slabs, boxes inside) of images of several
// element types, colour among them, and of one to four axes. A file replaced after its tags were
// read is not read as if it were the same.

#include "HostFileTestSupport.h"
#include "velmora/Error.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace hostfile_test;
using trestan::toolkit::HostFile;
using trestan::toolkit::ReadThrough;
using Region = velmora::RegionX<std::size_t>;

struct Image {
    std::int32_t dataType; // DM data type code
    std::vector<std::uint32_t> dimensions;
};

const Image Images[] = {{10, {5, 4}}, {2, {4, 3, 5}}, {23, {3, 2}}, {9, {3, 2, 2, 3}},
                        {3, {6}},     {14, {4, 2}},   {12, {2, 3}}, {23, {4, 3, 2}}};

// The whole frame, its first and last element, a slab of each axis and random boxes.
std::vector<Region> regionsOf(const velmora::VectorX<std::size_t>& shape, std::mt19937& random) {
    const std::size_t axes = shape.size();
    std::vector<Region> regions{Region::whole(shape)};
    velmora::VectorX<std::size_t> one(axes, 1);
    velmora::VectorX<std::size_t> last(axes, 0);
    for (std::size_t axis = 0; axis < axes; ++axis) {
        last[axis] = shape[axis] - 1;
    }
    regions.emplace_back(velmora::VectorX<std::size_t>(axes, 0), one);
    regions.emplace_back(last, one);
    for (std::size_t axis = 0; axis < axes; ++axis) {
        velmora::VectorX<std::size_t> offset(axes, 0);
        velmora::VectorX<std::size_t> size = shape;
        offset[axis] = shape[axis] / 2;
        size[axis] = shape[axis] - offset[axis];
        regions.emplace_back(offset, size);
    }
    for (int i = 0; i < 12; ++i) {
        velmora::VectorX<std::size_t> offset(axes, 0);
        velmora::VectorX<std::size_t> size(axes, 0);
        for (std::size_t axis = 0; axis < axes; ++axis) {
            offset[axis] = std::uniform_int_distribution<std::size_t>(0, shape[axis] - 1)(random);
            size[axis] = std::uniform_int_distribution<std::size_t>(1, shape[axis] - offset[axis])(random);
        }
        regions.emplace_back(offset, size);
    }
    return regions;
}

TEST(HostFile, IndexedRegionsAreThePluginsRegions) {
    std::vector<dmwriter::ImageDefinition> images;
    for (const Image& image : Images) {
        images.push_back(
            dmwriter::rampImage(image.dataType, image.dimensions, static_cast<std::uint8_t>(images.size())));
    }
    const std::string path = writeDmFile("types.dm4", images);
    const HostFile indexed = HostFile::open(pluginHost(), path, ReadThrough::Index);
    const HostFile viaPlugin = HostFile::open(pluginHost(), path, ReadThrough::Plugin);
    ASSERT_TRUE(indexed.indexed());
    ASSERT_FALSE(viaPlugin.indexed());
    ASSERT_EQ(indexed.index().frames.size(), std::size(Images));
    ASSERT_EQ(viaPlugin.index().frames.size(), std::size(Images));
    std::mt19937 random(7);
    for (std::size_t frame = 0; frame < std::size(Images); ++frame) {
        const auto& stored = indexed.index().frames[frame];
        EXPECT_EQ(stored.shape, viaPlugin.index().frames[frame].shape) << frame;
        EXPECT_EQ(stored.dataType, viaPlugin.index().frames[frame].dataType) << frame;
        EXPECT_FALSE(stored.truncated());
        for (const Region& region : regionsOf(stored.shape, random)) {
            EXPECT_EQ(regionBytes(indexed, frame, region), regionBytes(viaPlugin, frame, region))
                << "frame " << frame << " region at " << region.offset().size() << " axes";
        }
    }
    EXPECT_THROW(indexed.readRegion(0, Region({0, 0}, {6, 1}), std::vector<std::uint8_t>(64).data()),
                 velmora::InvalidArgument);
}

TEST(HostFile, AFileReplacedAfterItsTagsWereReadIsRefused) {
    const std::string path = writeDmFile("replaced.dm4", {dmwriter::rampImage(10, {5, 4})});
    const HostFile indexed = HostFile::open(pluginHost(), path, ReadThrough::Index);
    writeDmFile("replaced.dm4", {dmwriter::rampImage(10, {6, 4})});
    std::vector<std::uint8_t> out(40);
    try {
        indexed.readRegion(0, Region::whole(indexed.index().frames[0].shape), out.data());
        FAIL() << "read a file that was replaced";
    } catch (const velmora::Error& error) {
        EXPECT_STREQ(error.what(), "the file changed after its tags were read");
    }
}

} // namespace
