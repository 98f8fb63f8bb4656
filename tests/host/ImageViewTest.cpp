// The default pixel reads of views that only hand out a buffer and a layout. (The region copier
// itself is checked against a model in IndexerTest.)

#include "velmora/ImageView.h"

#include "velmora/Error.h"

#include <gtest/gtest.h>
#include <numeric>

using namespace velmora;

namespace {

using Shape = VectorX<std::size_t>;

/// 2 x 2 colour pixels of 3 bytes in 4, rows 8 bytes apart, over a buffer of `bytes` bytes 0, 1, 2...
class BufferView : public ImageView {
public:
    explicit BufferView(std::size_t bytes) : m_bytes(bytes) { std::iota(m_bytes.begin(), m_bytes.end(), 0); }
    const VectorX<std::size_t>& shape() override { return m_shape; }
    DataType dataType() override { return DataType(DataTypeId::RGB8); }
    std::shared_ptr<ImageProperties> properties() override { return nullptr; }
    std::shared_ptr<MetadataNode> metadata() const override { return nullptr; }
    Indexer indexer() override { return Indexer(m_shape, dataType(), Shape{4, 8}); }
    const void* bufferReadOnly() const override { return m_bytes.empty() ? nullptr : m_bytes.data(); }
    std::size_t bufferSize() const override { return m_bytes.size(); }

private:
    Shape m_shape{2, 2};
    std::vector<std::uint8_t> m_bytes;
};

TEST(ImageView, DefaultReadsFollowTheLayoutAndRefuseMissingOrShortBuffers) {
    BufferView view(16);
    std::vector<std::uint8_t> out(6);
    view.readRegion(RegionX<std::size_t>(Shape{0, 1}, Shape{2, 1}), out.data());
    EXPECT_EQ(out, (std::vector<std::uint8_t>{8, 9, 10, 12, 13, 14}));
    view.read(Shape{1, 0}, out.data());
    EXPECT_EQ(out[0], 4);
    EXPECT_THROW(view.read(Shape{2, 0}, out.data()), InvalidArgument);
    try {
        BufferView(0).read(Shape{0, 0}, out.data());
        ADD_FAILURE() << "read without a buffer succeeded";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "view has no readable buffer");
    }
    EXPECT_THROW(BufferView(15).read(Shape{0, 0}, out.data()), Error);
}

} // namespace
