#include "WriterSeeds.h"

#include "dmwriter/DmImage.h"

#include <cstdint>
#include <string>
#include <utility>

namespace gatanfuzz {

using namespace dmwriter;

namespace {

std::string extension(Version version) {
    return version == Version::Dm3 ? ".dm3" : ".dm4";
}

ImageDefinition imageDefinition(std::int32_t dataType, const std::vector<std::uint32_t>& dimensions,
                                std::uint8_t seed) {
    ImageDefinition definition = rampImage(dataType, dimensions, seed);
    std::vector<AxisCalibration> calibrations;
    for (std::size_t axis = 0; axis < dimensions.size(); ++axis) {
        calibrations.push_back(AxisCalibration{-1.5F * static_cast<float>(axis), 0.25F, u"nm"});
    }
    definition.calibrations = calibrations;
    definition.brightness = AxisCalibration{0.0F, 1.0F, u"counts"};
    return definition;
}

/// A DM file of every tag kind: scalars of every element code, strings and UTF-16 arrays, arrays of
/// every code, groups, arrays of groups (with and without fields), named and unnamed entries,
/// nested and empty directories, and an "ImageList" of one small image.
DmFile tagKindsFile(Version version) {
    DmFile file(version);
    Directory& root = file.root();

    Directory& scalars = root.addDirectory("Scalars");
    scalars.flags(1, 0);
    scalars.addTag("Int8", Tag::int8(-5));
    scalars.addTag("UInt8", Tag::uint8(250));
    scalars.addTag("Bool", Tag::boolean(true));
    scalars.addTag("Int16", Tag::int16(-300));
    scalars.addTag("UInt16", Tag::uint16(60000));
    scalars.addTag("Int32", Tag::int32(-70000));
    scalars.addTag("UInt32", Tag::uint32(4000000000U));
    scalars.addTag("Int64", Tag::int64(-(std::int64_t{1} << 40)));
    scalars.addTag("UInt64", Tag::uint64(std::uint64_t{1} << 63));
    scalars.addTag("Float32", Tag::float32(0.001F));
    scalars.addTag("Float64", Tag::float64(-2.5e-300));
    scalars.addTag(Tag::int32(7));
    scalars.addTag(Tag::float32(1.0F));

    Directory& text = root.addDirectory("Text");
    text.addTag("String", Tag::string(u"Hello"));
    text.addTag("Empty", Tag::string(u""));
    text.addTag("Array", Tag::utf16Array(u"\u00e9\u20ac \U00010000 nm"));
    text.addTag("Unpaired", Tag::utf16Array(std::u16string{u'A', char16_t(0xD800), u'B', char16_t(0xDC00)}));

    Directory& arrays = root.addDirectory("Arrays");
    arrays.addTag("Int16", Tag::array<std::int16_t>(ElementType::Int16, {1, -2, 3}));
    arrays.addTag("Int32", Tag::array<std::int32_t>(ElementType::Int32, {-1, 65536}));
    arrays.addTag("UInt32", Tag::array<std::uint32_t>(ElementType::UInt32, {1, 2}));
    arrays.addTag("Float32", Tag::array<float>(ElementType::Float32, {0.5F, -0.25F}));
    arrays.addTag("Float64", Tag::array<double>(ElementType::Float64, {1e10, -1e-10}));
    arrays.addTag("Bool", Tag::array<std::uint8_t>(ElementType::Bool, {0, 1, 1}));
    arrays.addTag("Int8", Tag::array<std::int8_t>(ElementType::Int8, {-128, 127}));
    arrays.addTag("UInt8", Tag::array<std::int8_t>(ElementType::UInt8, {-1, 1}));
    arrays.addTag("Int64", Tag::array<std::int64_t>(ElementType::Int64, {-1, 1}));
    arrays.addTag("UInt64", Tag::array<std::int64_t>(ElementType::UInt64, {-1}));
    arrays.addTag("Empty", Tag::array<double>(ElementType::Float64, {}));

    Directory& groups = root.addDirectory("Groups");
    groups.addTag("Colour", Tag::group({Field::of(ElementType::Int16, std::int16_t{-1}),
                                        Field::of(ElementType::Int16, std::int16_t{-32640}),
                                        Field::of(ElementType::Int16, std::int16_t{0})}));
    groups.addTag("Mixed", Tag::group({Field::of(ElementType::Int32, std::int32_t{3}),
                                       Field::of(ElementType::Float64, 2.5),
                                       Field::of(ElementType::Int8, std::int8_t{-1})}));
    groups.addTag("NoFields", Tag::group({}));
    groups.addTag("Pairs", Tag::groupArray({code(ElementType::Int32), code(ElementType::Float64)}, 2,
                                           concat({littleEndian(std::int32_t{1}), littleEndian(0.5),
                                                   littleEndian(std::int32_t{2}), littleEndian(-0.5)})));
    groups.addTag("EmptyGroups", Tag::groupArray({}, 3, {}));

    Directory& names = root.addDirectory("Names");
    names.addTag(std::string("Zero\0Byte", 9), Tag::uint8(1));
    names.addTag("\xC3\xA9t\xC3\xA9", Tag::uint8(2));
    names.addTag(Tag::uint8(3));
    names.addDirectory("Empty");
    names.addDirectory().addDirectory("Inner").addTag("Deep", Tag::int16(4));
    names.addTag("Data", Tag::array<std::int16_t>(ElementType::Int16, {9, 9}));
    names.addTag("data", Tag::array<std::int16_t>(ElementType::Int16, {8}));

    Directory& list = root.addDirectory("ImageList");
    addImage(list, imageDefinition(7, {3, 2}, 1));
    return file;
}

DmFile imageFile(Version version, std::int32_t dataType, const std::vector<std::uint32_t>& dimensions) {
    return dmwriter::imageFile({imageDefinition(dataType, dimensions, static_cast<std::uint8_t>(dataType))},
                               version);
}

} // namespace

std::vector<Seed> writerSeeds() {
    std::vector<Seed> seeds;
    const auto add = [&seeds](std::string name, Version version, DmFile file) {
        Bytes bytes = file.toBytes();
        seeds.push_back(Seed{name + extension(version), std::move(bytes), file.layout()});
    };
    for (Version version : {Version::Dm3, Version::Dm4}) {
        add("tag-kinds", version, tagKindsFile(version));
        DmFile framed = tagKindsFile(version);
        framed.dmFraming();
        add("tag-kinds-framed", version, std::move(framed));

        for (std::int32_t dataType : {1, 2, 3, 6, 7, 8, 9, 10, 11, 12, 13, 14, 23}) {
            add("image-type" + std::to_string(dataType), version, imageFile(version, dataType, {4, 3}));
        }
        add("image-0-axes", version, imageFile(version, 2, {}));
        add("image-1-axis", version, imageFile(version, 10, {7}));
        add("image-3-axes", version, imageFile(version, 6, {3, 2, 2}));
        add("image-4-axes", version, imageFile(version, 9, {2, 2, 2, 2}));
        add("image-empty-axis", version, imageFile(version, 12, {5, 0}));

        DmFile pair(version);
        Directory& list = pair.root().addDirectory("ImageList");
        addImage(list, imageDefinition(8, {8, 8}, 3));
        ImageDefinition image = imageDefinition(1, {16, 12}, 4);
        image.dimensionType = ElementType::Int32;
        addImage(list, image);
        pair.root().addDirectory("DocumentObjectList").addDirectory().addTag("ImageSource", Tag::uint64(1));
        pair.dmFraming();
        add("thumbnail-and-image", version, std::move(pair));

        for (std::int32_t dataType : {0, 4, 5}) {
            add("image-refused-type" + std::to_string(dataType), version,
                imageFile(version, dataType, {2, 2}));
        }
    }
    return seeds;
}

} // namespace gatanfuzz
