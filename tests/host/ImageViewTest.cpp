#include "velmora/ImageView.h"

#include "velmora/Error.h"

#include <gtest/gtest.h>
#include <numeric>

using namespace velmora;

namespace {

using Shape = VectorX<std::size_t>;

// A view that only hands out its buffer and layout; every pixel operation is the default one.
class BufferView : public ImageView {
public:
    BufferView(Shape shape, DataType type, std::vector<std::uint8_t> bytes, Shape strides = {})
        : m_shape(std::move(shape)), m_type(type), m_bytes(std::move(bytes)), m_strides(std::move(strides)) {}

    const VectorX<std::size_t>& shape() override { return m_shape; }
    DataType dataType() override { return m_type; }
    std::shared_ptr<ImageProperties> properties() override { return ImageProperties::fromDataType(m_type); }
    std::shared_ptr<MetadataNode> metadata() const override { return nullptr; }
    Indexer indexer() override {
        return m_strides.empty() ? ImageView::indexer() : Indexer(m_shape, m_type, m_strides);
    }
    const void* bufferReadOnly() const override { return m_bytes.data(); }
    std::size_t bufferSize() const override { return m_bytes.size(); }

private:
    Shape m_shape;
    DataType m_type;
    std::vector<std::uint8_t> m_bytes;
    Shape m_strides;
};

// A view with no buffer at all.
class EmptyView : public ImageView {
public:
    const VectorX<std::size_t>& shape() override { return m_shape; }
    DataType dataType() override { return DataType(DataTypeId::UInt8); }
    std::shared_ptr<ImageProperties> properties() override { return nullptr; }
    std::shared_ptr<MetadataNode> metadata() const override { return nullptr; }

private:
    Shape m_shape{2, 2};
};

std::vector<std::uint8_t> iota(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    std::iota(bytes.begin(), bytes.end(), 0);
    return bytes;
}

TEST(ImageView, DefaultReadsCopyFromTheBufferFollowingTheStrides) {
    BufferView view(Shape{3, 2}, DataType(DataTypeId::UInt16), iota(12));
    EXPECT_EQ(view.indexer().strides(), (Shape{2, 6}));
    std::vector<std::uint8_t> column(4);
    view.readRegion(RegionX<std::size_t>(Shape{2, 0}, Shape{1, 2}), column.data());
    EXPECT_EQ(column, (std::vector<std::uint8_t>{4, 5, 10, 11}));
    view.read(Shape{1, 1}, column.data());
    EXPECT_EQ(column, (std::vector<std::uint8_t>{8, 9, 10, 11}));

    BufferView padded(Shape{2, 2}, DataType(DataTypeId::RGB8), iota(16), Shape{4, 8});
    std::vector<std::uint8_t> all(12);
    padded.readRegion(RegionX<std::size_t>::whole(padded.shape()), all.data());
    EXPECT_EQ(all, (std::vector<std::uint8_t>{0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14}));
    EXPECT_THROW(padded.read(Shape{2, 0}, all.data()), InvalidArgument);
}

TEST(ImageView, DefaultsRefuseReadsWithoutABufferAndAllChanges) {
    EmptyView view;
    std::uint8_t byte = 0;
    try {
        view.read(Shape{0, 0}, &byte);
        FAIL() << "read without a buffer succeeded";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "view has no readable buffer");
    }
    BufferView tooSmall(Shape{4}, DataType(DataTypeId::UInt32), iota(15));
    EXPECT_THROW(tooSmall.read(Shape{0}, &byte), Error);

    try {
        view.write(Shape{0, 0}, &byte);
        FAIL() << "write succeeded";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("read-only"), std::string::npos) << e.what();
    }
    EXPECT_THROW(view.writeRegion(RegionX<std::size_t>::whole(view.shape()), &byte), Error);
    EXPECT_THROW(view.reshape(Shape{1}, DataType(DataTypeId::UInt8)), Error);
    EXPECT_THROW(view.setProperties(nullptr), Error);
    EXPECT_THROW(view.setMetadata(nullptr), Error);
    EXPECT_EQ(view.buffer(), nullptr);
    EXPECT_EQ(view.bufferSize(), 0u);
    EXPECT_EQ(view.capabilities(), 0u);
}

TEST(MultiImageView, DefaultFrameListShiftsOnRemovalAndRefusesBadIndicesAndNullFrames) {
    MultiImageView multi;
    auto first = std::make_shared<EmptyView>();
    auto second = std::make_shared<EmptyView>();
    multi.addFrame(first);
    multi.addFrame(second);
    multi.removeFrame(0);
    ASSERT_EQ(multi.frameCount(), 1u);
    EXPECT_EQ(multi.frame(0), second);
    multi.setFrame(0, first);
    EXPECT_EQ(multi.frame(0), first);
    EXPECT_THROW(multi.frame(1), InvalidArgument);
    EXPECT_THROW(multi.setFrame(1, second), InvalidArgument);
    EXPECT_THROW(multi.removeFrame(1), InvalidArgument);
    EXPECT_THROW(multi.addFrame(nullptr), InvalidArgument);
    EXPECT_THROW(multi.setFrame(0, nullptr), InvalidArgument);
    EXPECT_EQ(multi.frameCount(), 1u);
}

class ExtendedView : public MultiImageView {
public:
    explicit ExtendedView(std::shared_ptr<Extension> extension) : m_extension(std::move(extension)) {}
    std::shared_ptr<Extension> extension(std::size_t id) override {
        return id == VIEW_ORIGIN_EXTENSION ? m_extension : MultiImageView::extension(id);
    }

private:
    std::shared_ptr<Extension> m_extension;
};

TEST(View, ViewOriginRefusesAMissingOrForeignRecord) {
    // The record itself is found through the plugin's views in tests/frames.
    MultiImageView plain;
    EXPECT_THROW(plain.extension(VIEW_ORIGIN_EXTENSION), Error);
    EXPECT_THROW(plain.viewOrigin(), Error);
    EXPECT_THROW(ExtendedView(std::make_shared<Extension>()).viewOrigin(), Error);
    EXPECT_THROW(ExtendedView(nullptr).viewOrigin(), Error);
}

TEST(ImageProperties, DefaultsFollowTheDataType) {
    // The Gatan plugin's types are checked through it in tests/frames; here the types it does not
    // serve, and colour, whose interpretation it replaces.
    struct Case {
        DataType type;
        ImageInterpretation interpretation;
        unsigned bitDepth;
        Vector<double, 2> range;
    };
    const Case cases[] = {
        {DataType(DataTypeId::UInt64), ImageInterpretation::GRAYSCALE, 64, {0.0, 18446744073709551615.0}},
        {DataType(DataTypeId::Int64),
         ImageInterpretation::GRAYSCALE,
         64,
         {-9223372036854775808.0, 9223372036854775807.0}},
        {DataType(DataTypeId::RGB8), ImageInterpretation::MULTICHANNEL, 8, {0.0, 255.0}},
    };
    for (const auto& [type, interpretation, bitDepth, range] : cases) {
        const auto properties = ImageProperties::fromDataType(type);
        EXPECT_EQ(properties->imageInfo().interpretation(), interpretation) << type.name();
        EXPECT_EQ(properties->imageInfo().bitDepth(), bitDepth) << type.name();
        EXPECT_EQ(properties->imageInfo().valueRange(), range) << type.name();
        EXPECT_EQ(properties->imageInfo().axes(), ImageTypeId::UNKNOWN);
        EXPECT_EQ(properties->calibration().origin(), (Vector<double, 3>::createUniform(0.0)));
        EXPECT_EQ(properties->calibration().spacing(), (Vector<double, 3>::createUniform(1.0)));
        EXPECT_EQ(properties->calibration().unit(), "");
    }
    EXPECT_EQ(ImageProperties::fromDataType(DataType())->imageInfo().interpretation(),
              ImageInterpretation::UNKNOWN);
}

} // namespace
