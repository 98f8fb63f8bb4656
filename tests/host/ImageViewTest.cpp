#include "velmora/ImageView.h"

#include "velmora/Error.h"

#include <gtest/gtest.h>
#include <limits>
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

TEST(ImageView, DefaultReadsCopyFromTheBuffer) {
    BufferView view(Shape{3, 2}, DataType(DataTypeId::UInt16), iota(12));
    EXPECT_EQ(view.indexer().strides(), (Shape{2, 6}));
    std::uint8_t element[2];
    view.read(Shape{1, 1}, element);
    EXPECT_EQ(element[0], 8);
    EXPECT_EQ(element[1], 9);
    std::vector<std::uint8_t> column(4);
    view.readRegion(RegionX<std::size_t>(Shape{2, 0}, Shape{1, 2}), column.data());
    EXPECT_EQ(column, (std::vector<std::uint8_t>{4, 5, 10, 11}));
}

TEST(ImageView, DefaultReadsFollowExplicitStrides) {
    BufferView view(Shape{2, 2}, DataType(DataTypeId::RGB8), iota(16), Shape{4, 8});
    std::vector<std::uint8_t> all(12);
    view.readRegion(RegionX<std::size_t>::whole(view.shape()), all.data());
    EXPECT_EQ(all, (std::vector<std::uint8_t>{0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14}));
    EXPECT_THROW(view.read(Shape{2, 0}, all.data()), InvalidArgument);
}

TEST(ImageView, ViewWithoutUsableBufferRefusesToRead) {
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
}

TEST(ImageView, DefaultsRefuseChanges) {
    EmptyView view;
    const std::uint8_t byte = 0;
    EXPECT_THROW(view.write(Shape{0, 0}, &byte), Error);
    EXPECT_THROW(view.writeRegion(RegionX<std::size_t>::whole(view.shape()), &byte), Error);
    EXPECT_THROW(view.reshape(Shape{1}, DataType(DataTypeId::UInt8)), Error);
    EXPECT_THROW(view.setProperties(nullptr), Error);
    EXPECT_THROW(view.setMetadata(nullptr), Error);
    try {
        view.write(Shape{0, 0}, &byte);
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("read-only"), std::string::npos) << e.what();
    }
    EXPECT_EQ(view.buffer(), nullptr);
    EXPECT_EQ(view.bufferReadOnly(), nullptr);
    EXPECT_EQ(view.bufferSize(), 0u);
    EXPECT_EQ(view.capabilities(), 0u);
}

TEST(MultiImageView, DefaultKeepsItsOwnFramesAndMetadata) {
    MultiImageView multi;
    EXPECT_EQ(multi.frameCount(), 0u);
    EXPECT_EQ(multi.metadata(), nullptr);
    auto first = std::make_shared<EmptyView>();
    auto second = std::make_shared<EmptyView>();
    multi.addFrame(first);
    multi.addFrame(second);
    ASSERT_EQ(multi.frameCount(), 2u);
    EXPECT_EQ(multi.frame(1), second);
    multi.setFrame(1, first);
    EXPECT_EQ(multi.frame(1), first);
    multi.removeFrame(0);
    EXPECT_EQ(multi.frameCount(), 1u);
    auto root = MetadataNodeFactory::create("root");
    multi.setMetadata(root);
    EXPECT_EQ(multi.metadata(), root);
}

TEST(MultiImageView, RefusesIndicesOutOfRangeAndNullFrames) {
    MultiImageView multi;
    multi.addFrame(std::make_shared<EmptyView>());
    EXPECT_THROW(multi.frame(1), InvalidArgument);
    EXPECT_THROW(multi.setFrame(1, std::make_shared<EmptyView>()), InvalidArgument);
    EXPECT_THROW(multi.removeFrame(1), InvalidArgument);
    EXPECT_THROW(multi.addFrame(nullptr), InvalidArgument);
    EXPECT_THROW(multi.setFrame(0, nullptr), InvalidArgument);
    EXPECT_EQ(multi.frameCount(), 1u);
}

class Origin final : public ViewOriginExtension {
public:
    std::uint64_t uid() const override { return m_uid; }
    std::size_t parentCount() const override { return 0; }
    std::shared_ptr<ViewOriginExtension> parent(std::size_t) const override { return nullptr; }
    ViewDataOrigin dataOrigin() const override { return ViewDataOrigin::FILE; }
    std::string displayName() const override { return "origin"; }

private:
    std::uint64_t m_uid = UidGenerator::generate();
};

class ExtendedView : public MultiImageView {
public:
    explicit ExtendedView(std::shared_ptr<Extension> extension) : m_extension(std::move(extension)) {}
    std::shared_ptr<Extension> extension(std::size_t id) override {
        return id == VIEW_ORIGIN_EXTENSION ? m_extension : MultiImageView::extension(id);
    }

private:
    std::shared_ptr<Extension> m_extension;
};

TEST(View, ViewOriginIsTheRecordUnderItsExtensionId) {
    auto origin = std::make_shared<Origin>();
    ExtendedView view(origin);
    EXPECT_EQ(view.viewOrigin(), origin);
    EXPECT_NE(view.viewOrigin()->uid(), 0u);
}

TEST(View, ViewOriginIsRefusedWhenMissingOrOfAnotherKind) {
    MultiImageView plain;
    EXPECT_THROW(plain.extension(VIEW_ORIGIN_EXTENSION), Error);
    EXPECT_THROW(plain.viewOrigin(), Error);
    ExtendedView wrongKind(std::make_shared<Extension>());
    EXPECT_THROW(wrongKind.viewOrigin(), Error);
    ExtendedView null(nullptr);
    EXPECT_THROW(null.viewOrigin(), Error);
}

TEST(ImageProperties, DefaultsFollowTheDataType) {
    const auto u8 = ImageProperties::fromDataType(DataType(DataTypeId::UInt8));
    EXPECT_EQ(u8->imageInfo().bitDepth(), 8u);
    EXPECT_EQ(u8->imageInfo().valueRange(), (Vector<double, 2>{0.0, 255.0}));
    EXPECT_EQ(u8->imageInfo().interpretation(), ImageInterpretation::GRAYSCALE);
    EXPECT_EQ(u8->imageInfo().axes(), ImageTypeId::UNKNOWN);
    EXPECT_EQ(u8->calibration().origin(), (Vector<double, 3>::createUniform(0.0)));
    EXPECT_EQ(u8->calibration().spacing(), (Vector<double, 3>::createUniform(1.0)));
    EXPECT_EQ(u8->calibration().unit(), "");

    const auto i16 = ImageProperties::fromDataType(DataType(DataTypeId::Int16));
    EXPECT_EQ(i16->imageInfo().valueRange(), (Vector<double, 2>{-32768.0, 32767.0}));
    const auto u64 = ImageProperties::fromDataType(DataType(DataTypeId::UInt64));
    EXPECT_EQ(u64->imageInfo().valueRange()[1], 18446744073709551615.0);
    const auto i64 = ImageProperties::fromDataType(DataType(DataTypeId::Int64));
    EXPECT_EQ(i64->imageInfo().valueRange()[0], -9223372036854775808.0);

    const auto f32 = ImageProperties::fromDataType(DataType(DataTypeId::Float32));
    EXPECT_EQ(f32->imageInfo().valueRange()[0], static_cast<double>(std::numeric_limits<float>::lowest()));
    EXPECT_EQ(f32->imageInfo().valueRange()[1], static_cast<double>(std::numeric_limits<float>::max()));

    const auto c128 = ImageProperties::fromDataType(DataType(DataTypeId::Complex128));
    EXPECT_EQ(c128->imageInfo().interpretation(), ImageInterpretation::COMPLEX);
    EXPECT_EQ(c128->imageInfo().bitDepth(), 64u);
    EXPECT_EQ(c128->imageInfo().valueRange()[1], std::numeric_limits<double>::max());

    const auto rgb = ImageProperties::fromDataType(DataType(DataTypeId::RGB8));
    EXPECT_EQ(rgb->imageInfo().interpretation(), ImageInterpretation::MULTICHANNEL);
    EXPECT_EQ(rgb->imageInfo().bitDepth(), 8u);
    EXPECT_EQ(rgb->imageInfo().valueRange(), (Vector<double, 2>{0.0, 255.0}));

    const auto unknown = ImageProperties::fromDataType(DataType());
    EXPECT_EQ(unknown->imageInfo().interpretation(), ImageInterpretation::UNKNOWN);
}

} // namespace
