// The default pixel reads of views that only hand out a buffer and a layout. (The region copier
// itself is checked against a model in IndexerTest.)

#include "velmora/ImageView.h"

#include "velmora/Error.h"

#include <gtest/gtest.h>
#include <numeric>

using namespace velmora;

namespace {

using Shape = VectorX<std::size_t>;

class BufferView : public ImageView {
public:
    BufferView(Shape shape, DataType type, std::size_t bytes, Shape strides)
        : m_shape(std::move(shape)), m_type(type), m_bytes(bytes), m_strides(std::move(strides)) {
        std::iota(m_bytes.begin(), m_bytes.end(), 0);
    }
    const VectorX<std::size_t>& shape() override { return m_shape; }
    DataType dataType() override { return m_type; }
    std::shared_ptr<ImageProperties> properties() override { return nullptr; }
    std::shared_ptr<MetadataNode> metadata() const override { return nullptr; }
    Indexer indexer() override { return Indexer(m_shape, m_type, m_strides); }
    const void* bufferReadOnly() const override { return m_bytes.empty() ? nullptr : m_bytes.data(); }
    std::size_t bufferSize() const override { return m_bytes.size(); }

private:
    Shape m_shape;
    DataType m_type;
    std::vector<std::uint8_t> m_bytes;
    Shape m_strides;
};

TEST(ImageView, DefaultReadsFollowTheLayoutAndRefuseMissingOrShortBuffers) {
    BufferView padded(Shape{2, 2}, DataType(DataTypeId::RGB8), 16, Shape{4, 8});
    std::vector<std::uint8_t> out(12);
    padded.readRegion(RegionX<std::size_t>(Shape{0, 1}, Shape{2, 1}), out.data());
    EXPECT_EQ(out, (std::vector<std::uint8_t>{8, 9, 10, 12, 13, 14, 0, 0, 0, 0, 0, 0}));
    padded.read(Shape{1, 0}, out.data());
    EXPECT_EQ(out[0], 4);
    EXPECT_THROW(padded.read(Shape{2, 0}, out.data()), InvalidArgument);
    try {
        BufferView(Shape{2}, DataType(DataTypeId::UInt8), 0, Shape{1}).read(Shape{0}, out.data());
        ADD_FAILURE() << "read without a buffer succeeded";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "view has no readable buffer");
    }
    EXPECT_THROW(BufferView(Shape{4}, DataType(DataTypeId::UInt32), 15, Shape{4}).read(Shape{0}, out.data()),
                 Error);
}

} // namespace
