#include "velmora/Indexer.h"

#include "velmora/Error.h"

#include <gtest/gtest.h>

using namespace velmora;

namespace {

using Shape = VectorX<std::size_t>;

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

} // namespace
