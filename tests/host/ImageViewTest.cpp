// The default pixel operations of views that only hand out a buffer and a layout, and the default
// frame list.

#include "velmora/ImageView.h"

#include "velmora/Error.h"

#include <gtest/gtest.h>
#include <numeric>

using namespace velmora;

namespace {

using Shape = VectorX<std::size_t>;

class BufferView : public ImageView {
public:
    BufferView(Shape shape, DataType type, std::size_t bytes, Shape strides = {})
        : m_shape(std::move(shape)), m_type(type), m_bytes(bytes), m_strides(std::move(strides)) {
        std::iota(m_bytes.begin(), m_bytes.end(), 0);
    }
    const VectorX<std::size_t>& shape() override { return m_shape; }
    DataType dataType() override { return m_type; }
    std::shared_ptr<ImageProperties> properties() override { return nullptr; }
    std::shared_ptr<MetadataNode> metadata() const override { return nullptr; }
    Indexer indexer() override {
        return m_strides.empty() ? ImageView::indexer() : Indexer(m_shape, m_type, m_strides);
    }
    const void* bufferReadOnly() const override { return m_bytes.empty() ? nullptr : m_bytes.data(); }
    std::size_t bufferSize() const override { return m_bytes.size(); }

private:
    Shape m_shape;
    DataType m_type;
    std::vector<std::uint8_t> m_bytes;
    Shape m_strides;
};

TEST(ImageView, DefaultReadsFollowTheStridesAndRefuseMissingBuffersAndAllChanges) {
    BufferView view(Shape{3, 2}, DataType(DataTypeId::UInt16), 12);
    std::vector<std::uint8_t> out(4);
    view.readRegion(RegionX<std::size_t>(Shape{2, 0}, Shape{1, 2}), out.data());
    EXPECT_EQ(out, (std::vector<std::uint8_t>{4, 5, 10, 11}));
    view.read(Shape{1, 1}, out.data());
    EXPECT_EQ(out, (std::vector<std::uint8_t>{8, 9, 10, 11}));
    BufferView padded(Shape{2, 2}, DataType(DataTypeId::RGB8), 16, Shape{4, 8});
    out.resize(12);
    padded.readRegion(RegionX<std::size_t>::whole(padded.shape()), out.data());
    EXPECT_EQ(out, (std::vector<std::uint8_t>{0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14}));
    EXPECT_THROW(padded.read(Shape{2, 0}, out.data()), InvalidArgument);

    BufferView empty(Shape{2, 2}, DataType(DataTypeId::UInt8), 0);
    try {
        empty.read(Shape{0, 0}, out.data());
        ADD_FAILURE() << "read without a buffer succeeded";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "view has no readable buffer");
    }
    EXPECT_THROW(BufferView(Shape{4}, DataType(DataTypeId::UInt32), 15).read(Shape{0}, out.data()), Error);
    EXPECT_THROW(empty.write(Shape{0, 0}, out.data()), Error);
    EXPECT_THROW(empty.writeRegion(RegionX<std::size_t>::whole(empty.shape()), out.data()), Error);
    EXPECT_THROW(empty.reshape(Shape{1}, DataType(DataTypeId::UInt8)), Error);
    EXPECT_THROW(empty.setProperties(nullptr), Error);
    EXPECT_THROW(empty.setMetadata(nullptr), Error);
    EXPECT_EQ(empty.buffer(), nullptr);
}

TEST(MultiImageView, DefaultFrameListShiftsOnRemovalAndRefusesBadIndicesNullFramesAndMissingOrigins) {
    MultiImageView multi;
    auto first = std::make_shared<BufferView>(Shape{1}, DataType(DataTypeId::UInt8), 1);
    auto second = std::make_shared<BufferView>(Shape{1}, DataType(DataTypeId::UInt8), 1);
    multi.addFrame(first);
    multi.addFrame(second);
    multi.removeFrame(0);
    ASSERT_EQ(multi.frameCount(), 1U);
    EXPECT_EQ(multi.frame(0), second);
    multi.setFrame(0, first);
    EXPECT_EQ(multi.frame(0), first);
    EXPECT_THROW(multi.frame(1), InvalidArgument);
    EXPECT_THROW(multi.setFrame(1, second), InvalidArgument);
    EXPECT_THROW(multi.removeFrame(1), InvalidArgument);
    EXPECT_THROW(multi.addFrame(nullptr), InvalidArgument);
    EXPECT_THROW(multi.setFrame(0, nullptr), InvalidArgument);
    EXPECT_EQ(multi.frameCount(), 1U);
    EXPECT_THROW(multi.viewOrigin(), Error) << "the record itself is found through the plugin's views";
}

} // namespace
