// The DM writer lays files out byte for byte; every reader test trusts it, so its layout is checked
// here against hand-written bytes.

#include "dmwriter/DmWriter.h"

#include "Hex.h"
#include "dmwriter/DmImage.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

using namespace dmwriter;
using testsupport::hex;
using testsupport::toHex;

namespace {

Bytes slice(const Bytes& bytes, std::uint64_t offset, std::size_t count) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                 bytes.begin() + static_cast<std::ptrdiff_t>(offset + count));
}

DmFile workedExample(Version version) {
    DmFile file(version);
    file.root().addTag(Tag::int32(5));
    return file;
}

} // namespace

TEST(DmWriterLayout, WorkedExampleDm3IsByteExact) {
    DmFile file = workedExample(Version::Dm3);
    EXPECT_EQ(toHex(file.toBytes()),
              toHex(hex("00000003 00000000 00000001 | 0000 | 00000001 | 15 | 0000 | 25252525 | "
                        "00000001 | 00000003 | 05000000")));
}

TEST(DmWriterLayout, WorkedExampleDm4IsByteExact) {
    // The entry size counts the tag's bytes: separator 4, info count 8, one info entry 8, value 4.
    DmFile file = workedExample(Version::Dm4);
    EXPECT_EQ(file.toBytes(),
              hex("00000004 0000000000000000 00000001 | 0000 | 0000000000000001 | 15 | 0000 | "
                  "0000000000000018 | 25252525 | 0000000000000001 | 0000000000000003 | 05000000"));
}

TEST(DmWriterLayout, Dm4EntrySizeOfNestedDirectoryCountsItsWholeBody) {
    DmFile file(Version::Dm4);
    Directory& outer = file.root().addDirectory("AB");
    outer.flags(1, 0);
    outer.addTag("c", Tag::uint8(7));
    // Root: flags, count 1; entry: 14 | 0002 "AB" | size | directory: 0100 count 1 | entry: 15 | 0001 "c" |
    // size 0x15 (4 + 8 + 8 + 1) | tag.
    const Bytes expected = hex("00000004 0000000000000000 00000001 | 0000 0000000000000001 | 14 0002 4142 "
                               "000000000000002B | 0100 0000000000000001 | 15 0001 63 0000000000000015 | "
                               "25252525 0000000000000001 000000000000000a 07");
    EXPECT_EQ(toHex(file.toBytes()), toHex(expected));
}

TEST(DmWriterLayout, OverridesAreWrittenInPlaceOfDerivedFields) {
    DmFile file(Version::Dm3);
    file.versionWord(7).lengthWord(0x01020304).byteOrder(0);
    file.root().entryCount(-1).flags(0xAA, 0xBB);
    file.root().addTag({}, Tag::raw({20, 2, -1}, {}).separator("%%%$").infoCount(-2),
                       EntryOptions{0xFFFF, {}, 0x80});
    EXPECT_EQ(file.toBytes(),
              hex("00000007 01020304 00000000 | AABB | FFFFFFFF | 80 | FFFF | 2525 2524 | FFFFFFFE | "
                  "00000014 00000002 FFFFFFFF"));

    file.setVersion(Version::Dm4);
    file.root().entry(0).options.entrySize = 0x1122334455667788;
    EXPECT_EQ(file.toBytes(),
              hex("00000007 0000000001020304 00000000 | AABB | FFFFFFFFFFFFFFFF | 80 | FFFF | "
                  "1122334455667788 | 2525 2524 | FFFFFFFFFFFFFFFE | 0000000000000014 "
                  "0000000000000002 FFFFFFFFFFFFFFFF"));
}

TEST(DmWriterLayout, NamesAreWrittenByteForByte) {
    DmFile file(Version::Dm3);
    file.root().addTag(std::string("a\0\xFF", 3), Tag::int8(-1));
    EXPECT_EQ(file.toBytes(),
              hex("00000003 00000000 00000001 0000 00000001 | 15 0003 6100FF | 25252525 00000001 "
                  "00000009 FF"));
}

TEST(DmWriterOffsets, RecordWhereEachTagAndValueLies) {
    DmFile file(Version::Dm3);
    Tag& first = file.root().addTag("A", Tag::array<std::int16_t>(ElementType::Int16, {10, 20}));
    Directory& nested = file.root().addDirectory("D");
    Tag& second = nested.addTag(Tag::float64(1.5));
    const Bytes bytes = file.toBytes();

    EXPECT_EQ(first.offset(), 12U + 6 + 1 + 2 + 1);
    EXPECT_EQ(slice(bytes, first.offset(), 4), hex("25252525"));
    EXPECT_EQ(slice(bytes, first.valueOffset(), 4), hex("0A00 1400"));
    EXPECT_EQ(first.endOffset(), first.valueOffset() + 4);
    EXPECT_EQ(nested.offset(), first.endOffset() + 1 + 2 + 1);
    EXPECT_EQ(slice(bytes, second.valueOffset(), 8), littleEndian(1.5));
    EXPECT_EQ(second.endOffset(), bytes.size());
    EXPECT_EQ(nested.endOffset(), bytes.size());
    EXPECT_EQ(file.root().endOffset(), bytes.size());

    // Laying the same tree out as DM4 moves everything; the offsets follow.
    file.setVersion(Version::Dm4);
    const Bytes wide = file.toBytes();
    EXPECT_EQ(slice(wide, first.valueOffset(), 4), hex("0A00 1400"));
    EXPECT_EQ(slice(wide, second.valueOffset(), 8), littleEndian(1.5));
}

TEST(DmWriterFraming, DmFramingAddsTrailerAndLengthWord) {
    // DM counts the length word as the file size less 16 (DM3) or 24 (DM4).
    DmFile dm3 = workedExample(Version::Dm3);
    dm3.dmFraming();
    const Bytes bytes3 = dm3.toBytes();
    ASSERT_EQ(bytes3.size(), 37U + 8);
    EXPECT_EQ(slice(bytes3, 4, 4), hex("0000001D"));
    EXPECT_EQ(slice(bytes3, 37, 8), Bytes(8, 0));

    DmFile dm4 = workedExample(Version::Dm4);
    dm4.dmFraming();
    const Bytes bytes4 = dm4.toBytes();
    ASSERT_EQ(bytes4.size(), 61U + 8);
    EXPECT_EQ(slice(bytes4, 4, 8), hex("000000000000002D"));

    // An explicit length word or trailer wins over the framing.
    dm4.lengthWord(3).trailer(hex("AB"));
    const Bytes explicitBytes = dm4.toBytes();
    ASSERT_EQ(explicitBytes.size(), 62U);
    EXPECT_EQ(slice(explicitBytes, 4, 8), hex("0000000000000003"));
    EXPECT_EQ(explicitBytes.back(), 0xAB);
}

TEST(DmWriterOutput, StreamFileAndMemoryAgreeAndGeneratedValuesArriveInOrder) {
    DmFile file(Version::Dm4);
    std::vector<std::uint64_t> fillOffsets;
    const std::uint64_t size = (3U << 20) + 5; // several chunks, the last one short
    file.root().addTag(
        "Data", Tag::generated({20, 8, static_cast<std::int64_t>(size)},
                               GeneratedValue{size, [&](std::uint64_t offset, std::span<std::uint8_t> out) {
                                                  fillOffsets.push_back(offset);
                                                  for (std::size_t i = 0; i < out.size(); ++i) {
                                                      out[i] = static_cast<std::uint8_t>((offset + i) % 251);
                                                  }
                                              }}));
    file.root().addTag("Zeros", Tag::generated({20, 8, 4096}, GeneratedValue{4096, {}}));
    file.root().addTag("After", Tag::int32(42));

    const Bytes memory = file.toBytes();
    ASSERT_EQ(memory.size(), file.size());
    const Tag& data = file.root().tag("Data");
    for (std::uint64_t i : {std::uint64_t{0}, std::uint64_t{1} << 20, size - 1}) {
        EXPECT_EQ(memory[data.valueOffset() + i], (i % 251)) << i;
    }
    std::uint64_t expectedOffset = 0;
    for (std::uint64_t offset : fillOffsets) {
        EXPECT_EQ(offset, expectedOffset);
        expectedOffset += std::uint64_t{1} << 20;
    }

    std::ostringstream stream;
    file.writeTo(stream);
    const std::string streamed = stream.str();
    EXPECT_TRUE(Bytes(streamed.begin(), streamed.end()) == memory);

    const auto path = std::filesystem::temp_directory_path() / "dmwriter_test_output.dm4";
    file.writeFile(path.string());
    std::ifstream in(path, std::ios::binary);
    const Bytes onDisk{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    in.close();
    std::filesystem::remove(path);
    EXPECT_TRUE(onDisk == memory);

    // A file ending in a hole still has its full length.
    DmFile holeAtEnd(Version::Dm3);
    holeAtEnd.root().addTag("Data", Tag::generated({20, 8, 1000}, GeneratedValue{1000, {}}));
    holeAtEnd.writeFile(path.string());
    EXPECT_EQ(std::filesystem::file_size(path), holeAtEnd.size());
    std::filesystem::remove(path);
}

TEST(DmWriterImage, DataArraysUseDmElementCodesPerImageType) {
    struct Case {
        std::int32_t dataType;
        std::vector<std::int64_t> info;
        std::uint32_t pixelDepth;
    };
    // Two pixels each; complex images are arrays of (re, im) groups, colour images 32-bit elements.
    const std::vector<Case> cases = {
        {1, {20, 2, 2}, 2},
        {2, {20, 6, 2}, 4},
        {3, {20, 15, 0, 2, 0, 6, 0, 6, 2}, 8},
        {6, {20, 10, 2}, 1},
        {7, {20, 3, 2}, 4},
        {8, {20, 3, 2}, 4},
        {9, {20, 9, 2}, 1},
        {10, {20, 4, 2}, 2},
        {11, {20, 5, 2}, 4},
        {12, {20, 7, 2}, 8},
        {13, {20, 15, 0, 2, 0, 7, 0, 7, 2}, 16},
        {14, {20, 8, 2}, 1},
        {23, {20, 3, 2}, 4},
    };
    for (const Case& c : cases) {
        Directory list;
        ImageDefinition description;
        description.dataType = c.dataType;
        description.dimensions = {2};
        description.pixels = Bytes(2 * c.pixelDepth, 0x11);
        ImageEntry image = addImage(list, description);
        EXPECT_EQ(image.data.info(), c.info) << c.dataType;
        EXPECT_EQ(image.imageData.tag("PixelDepth").value(), littleEndian(c.pixelDepth)) << c.dataType;
        EXPECT_EQ(image.imageData.tag("DataType").value(),
                  littleEndian(static_cast<std::uint32_t>(c.dataType)));
    }
}

TEST(DmWriterImage, EntryFollowsDmOrderAndCalibrationRules) {
    Directory list;
    ImageDefinition description;
    description.dataType = 1;
    description.dimensions = {3, 2};
    description.pixels = Bytes(12, 0);
    description.calibrations = std::vector<AxisCalibration>{{1.5F, 0.25F, u"nm"}};
    ImageEntry image = addImage(list, description);

    const auto names = [](const Directory& directory) {
        std::vector<std::string> result;
        for (std::size_t i = 0; i < directory.size(); ++i) {
            result.push_back(directory.entry(i).name);
        }
        return result;
    };
    EXPECT_EQ(names(image.entry), (std::vector<std::string>{"ImageData", "ImageTags", "Name", "UniqueID"}));
    EXPECT_EQ(names(image.imageData),
              (std::vector<std::string>{"Calibrations", "Data", "DataType", "Dimensions", "PixelDepth"}));
    Directory& calibrations = image.imageData.directory("Calibrations");
    EXPECT_EQ(names(calibrations),
              (std::vector<std::string>{"Brightness", "Dimension", "DisplayCalibratedUnits"}));
    Directory& dimension = calibrations.directory("Dimension");
    ASSERT_EQ(dimension.size(), 1U); // exactly the entries given, not one per axis
    EXPECT_EQ(dimension.entry(0).directory().tag("Origin").value(), littleEndian(1.5F));
    EXPECT_EQ(dimension.entry(0).directory().tag("Units").value(), utf16Bytes(u"nm"));
    Directory& dimensions = image.imageData.directory("Dimensions");
    ASSERT_EQ(dimensions.size(), 2U);
    EXPECT_EQ(dimensions.entry(1).tag().value(), littleEndian(std::uint32_t{2}));

    description.calibrations.reset();
    description.dimensions = {3, 2, 1};
    description.pixels = Bytes(12, 0);
    EXPECT_EQ(addImage(list, description).imageData.directory("Calibrations").directory("Dimension").size(),
              3U);

    description.withoutCalibrations = true;
    EXPECT_EQ(names(addImage(list, description).imageData),
              (std::vector<std::string>{"Data", "DataType", "Dimensions", "PixelDepth"}));

    description.pixels = Bytes(13, 0); // not a whole number of int16 pixels
    EXPECT_THROW(addImage(list, description), std::invalid_argument);
}
