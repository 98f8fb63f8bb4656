#include "velmora/Indexer.h"

#include "velmora/Error.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <numeric>
#include <random>

using namespace velmora;

namespace {

using Shape = VectorX<std::size_t>;
using Region = RegionX<std::size_t>;

TEST(Indexer, PackedLayoutHasAxisZeroFastest) {
    const Indexer indexer(Shape{3, 4, 5}, DataType(DataTypeId::Float32));
    EXPECT_EQ(indexer.strides(), (Shape{4, 12, 48}));
    EXPECT_EQ(indexer.elementCount(), 60u);
    EXPECT_EQ(indexer.byteCount(), 240u);
    EXPECT_EQ(indexer.offset(Shape{2, 1, 3}), 2 * 4 + 12 + 3 * 48u);
    EXPECT_TRUE(indexer.isPacked());
}

TEST(Indexer, ByteCountSpansThePaddedLayout) {
    // Colour pixels of 3 bytes stored in 4: the padding after the last pixel belongs to the array.
    const Indexer rgb(Shape{4, 2}, DataType(DataTypeId::RGB8), Shape{4, 16});
    EXPECT_EQ(rgb.byteCount(), 32u);
    // Strides wider than the data (rows padded to 32 bytes) count in full as well.
    EXPECT_EQ(Indexer(Shape{4, 2}, DataType(DataTypeId::RGB8), Shape{4, 32}).byteCount(), 64u);
    EXPECT_EQ(rgb.elementCount(), 8u);
    EXPECT_FALSE(rgb.isPacked());
    EXPECT_EQ(rgb.offset(Shape{3, 1}), 28u);
}

TEST(Indexer, EmptyAndZeroDimensionalArrays) {
    const Indexer empty(Shape{4, 0, 3}, DataType(DataTypeId::UInt16));
    EXPECT_EQ(empty.elementCount(), 0u);
    EXPECT_EQ(empty.byteCount(), 0u);
    const Indexer scalar(Shape{}, DataType(DataTypeId::Float64));
    EXPECT_EQ(scalar.elementCount(), 1u);
    EXPECT_EQ(scalar.byteCount(), 8u);
    // No element exists, so no stride can make elements overlap.
    EXPECT_NO_THROW(Indexer(Shape{0, 5}, DataType(DataTypeId::RGB8), Shape{4, 0}));
}

TEST(Indexer, AcceptsAxesInAnyOrderOfStrides) {
    const Indexer transposed(Shape{3, 2}, DataType(DataTypeId::UInt16), Shape{4, 2});
    EXPECT_EQ(transposed.byteCount(), 2 * 4 + 1 * 2 + 2u);
    EXPECT_FALSE(transposed.isPacked());
    // The stride of an axis of length 1 is never used.
    EXPECT_TRUE(Indexer(Shape{3, 1, 2}, DataType(DataTypeId::UInt8), Shape{1, 999, 3}).isPacked());
}

TEST(Indexer, RefusesBadStrides) {
    const DataType rgb(DataTypeId::RGB8);
    EXPECT_THROW(Indexer(Shape{4, 2}, rgb, Shape{4}), InvalidArgument);
    EXPECT_THROW(Indexer(Shape{4, 2}, rgb, Shape{2, 16}), InvalidArgument) << "elements of axis 0 overlap";
    EXPECT_THROW(Indexer(Shape{4, 2}, rgb, Shape{4, 12}), InvalidArgument) << "rows overlap";
    EXPECT_THROW(Indexer(Shape{4, 2}, rgb, Shape{4, 6}), InvalidArgument) << "(0, 1) overlaps (1, 0)";
    // Interleaved layouts are fine as long as no two elements share a byte.
    EXPECT_NO_THROW(Indexer(Shape{4, 2}, rgb, Shape{6, 3}));
    EXPECT_NO_THROW(Indexer(Shape{4, 2}, rgb, Shape{16, 8}));
}

TEST(Indexer, RefusesSizesThatOverflow) {
    const std::size_t big = std::size_t{1} << 40;
    EXPECT_THROW(Indexer(Shape{big, big}, DataType(DataTypeId::UInt8)), InvalidArgument);
    EXPECT_THROW(Indexer(Shape{std::size_t{1} << 62}, DataType(DataTypeId::Float64)), InvalidArgument);
    EXPECT_THROW(Indexer(Shape{2, 2}, DataType(DataTypeId::UInt8), Shape{1, SIZE_MAX}), InvalidArgument);
}

TEST(Indexer, RefusesInvalidTypes) {
    EXPECT_THROW(Indexer(Shape{2}, DataType()), InvalidArgument);
    EXPECT_THROW(Indexer(Shape{2}, DataType(), Shape{1}), InvalidArgument);
}

// Element by element, straight from the definition: region index i (axis 0 fastest) comes from the
// array element at offset + i.
std::vector<std::uint8_t> referenceCopy(const Indexer& indexer, const Region& region, std::size_t elementSize,
                                        const std::vector<std::uint8_t>& source) {
    std::vector<std::uint8_t> out;
    const std::size_t n = region.dimensions();
    if (region.elementCount() == 0) {
        return out;
    }
    Shape index(n, 0);
    for (;;) {
        Shape absolute(n);
        for (std::size_t axis = 0; axis < n; ++axis) {
            absolute[axis] = region.offset()[axis] + index[axis];
        }
        const std::size_t at = indexer.offset(absolute);
        out.insert(out.end(), source.begin() + static_cast<std::ptrdiff_t>(at),
                   source.begin() + static_cast<std::ptrdiff_t>(at + elementSize));
        std::size_t axis = 0;
        for (; axis < n; ++axis) {
            if (++index[axis] < region.size()[axis]) {
                break;
            }
            index[axis] = 0;
        }
        if (axis == n) {
            return out;
        }
    }
}

std::vector<std::uint8_t> copyRegion(const Indexer& indexer, const Region& region, DataType type,
                                     const std::vector<std::uint8_t>& source) {
    const RegionCopier copier(indexer, region, type);
    // Guard bytes after the destination catch writes past destinationSize().
    std::vector<std::uint8_t> out(copier.destinationSize() + 16, 0xEE);
    copier.copy(source.data(), out.data());
    EXPECT_TRUE(std::all_of(out.end() - 16, out.end(), [](std::uint8_t b) { return b == 0xEE; }))
        << "copy wrote past its destination";
    out.resize(copier.destinationSize());
    return out;
}

// Random layouts: packed, padded (strides larger than needed) and with the axes stored in another
// order than their index order.
Indexer randomLayout(std::mt19937& generator, const Shape& shape, DataType type) {
    if (generator() % 3 == 0) {
        return Indexer(shape, type);
    }
    std::vector<std::size_t> order(shape.size());
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), generator);
    Shape strides(shape.size());
    std::size_t extent = type.elementSize();
    if (type == DataType(DataTypeId::RGB8) && generator() % 2 == 0) {
        extent = 4; // colour pixels stored in 4 bytes
    }
    for (std::size_t axis : order) {
        strides[axis] = extent + (generator() % 3 == 0 ? generator() % 5 : 0);
        extent = strides[axis] * std::max<std::size_t>(shape[axis], 1);
    }
    return Indexer(shape, type, strides);
}

TEST(RegionCopier, MatchesTheReferenceOnRandomLayoutsAndRegions) {
    std::mt19937 generator(20240601);
    const DataType types[] = {DataType(DataTypeId::UInt8),
                              DataType(DataTypeId::Int16),
                              DataType(DataTypeId::Float32),
                              DataType(DataTypeId::Float64),
                              DataType(DataTypeId::Complex128),
                              DataType(DataTypeId::RGB8),
                              DataType(static_cast<DataTypeId>(0x10508))}; // 5 bytes, no fixed-size path
    for (int trial = 0; trial < 3000; ++trial) {
        const DataType type = types[generator() % std::size(types)];
        const std::size_t dimensions = generator() % 5;
        Shape shape(dimensions);
        for (auto& length : shape) {
            length = generator() % 7 == 0 ? 0 : 1 + generator() % 6;
        }
        const Indexer indexer = randomLayout(generator, shape, type);
        Shape offset(dimensions), size(dimensions);
        for (std::size_t axis = 0; axis < dimensions; ++axis) {
            offset[axis] = generator() % (shape[axis] + 1);
            size[axis] = generator() % (shape[axis] - offset[axis] + 1);
            if (generator() % 3 == 0) { // whole axes make runs that can merge
                offset[axis] = 0;
                size[axis] = shape[axis];
            }
        }
        const Region region(offset, size);
        const auto source = [&] {
            std::vector<std::uint8_t> bytes(indexer.byteCount());
            for (auto& b : bytes) {
                b = static_cast<std::uint8_t>(generator());
            }
            return bytes;
        }();
        const auto expected = referenceCopy(indexer, region, type.elementSize(), source);
        const auto actual = copyRegion(indexer, region, type, source);
        ASSERT_EQ(actual, expected) << "trial " << trial << ", " << dimensions << " axes, type "
                                    << type.name();
    }
}

TEST(RegionCopier, RefusesRegionsOutsideTheShapeOrOfAnotherDimension) {
    const Indexer indexer(Shape{4, 3}, DataType(DataTypeId::UInt8));
    const std::pair<Region, std::string> cases[] = {
        {Region(Shape{0, 2}, Shape{4, 2}), "axis 1"}, {Region(Shape{4, 0}, Shape{1, 1}), "axis 0"},
        {Region(Shape{5, 0}, Shape{0, 1}), "axis 0"}, {Region(Shape{1, 1}, Shape{SIZE_MAX, 1}), "overflows"},
        {Region(Shape{0}, Shape{1}), "2 axes"},       {Region(Shape{0, 0, 0}, Shape{1, 1, 1}), "2 axes"},
        {Region(Shape{0, 0}, Shape{1}), "2 axes"},
    };
    for (const auto& [region, fragment] : cases) {
        try {
            RegionCopier(indexer, region, indexer.dataType());
            ADD_FAILURE() << "region accepted, expected an error with \"" << fragment << "\"";
        } catch (const InvalidArgument& e) {
            EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
        }
    }
}

TEST(RegionCopier, RefusesElementsWiderThanTheArrays) {
    const Indexer indexer(Shape{4}, DataType(DataTypeId::UInt16));
    EXPECT_THROW(RegionCopier(indexer, Region::whole(indexer.shape()), DataType(DataTypeId::UInt32)),
                 InvalidArgument);
    EXPECT_THROW(RegionCopier(indexer, Region::whole(indexer.shape()), DataType()), InvalidArgument);
    // A narrower element copies the leading bytes of each stored one.
    std::vector<std::uint8_t> source{1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(copyRegion(indexer, Region::whole(indexer.shape()), DataType(DataTypeId::UInt8), source),
              (std::vector<std::uint8_t>{1, 3, 5, 7}));
}

} // namespace
