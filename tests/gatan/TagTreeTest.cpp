// The tag tree on both layouts: the walk (names, numbering of unnamed entries, fields read but not
// used), the value of every tag data type code, UTF-16 text, and the "Data" arrays whose bytes the
// walk skips, leaving their offset.

#include "CountingStream.h"
#include "GatanTestSupport.h"

#include <cstdint>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace dmwriter;
using namespace testsupport;
using velmora::ValueType;
using Names = std::vector<std::string>;

namespace {

class TagTree : public ::testing::TestWithParam<Version> {
protected:
    /// Opens `tag` as "T" (see fileWith), checks that "After" follows it, returns "T".
    NodePtr tagRead(Tag tag) const {
        DmFile file = fileWith(GetParam(), std::move(tag));
        const NodePtr gatan = gatanNode(*openDm(file));
        EXPECT_EQ(valueOf(nodeAt(gatan, "After")), "int32:4d 00 00 00");
        return nodeAt(gatan, "T");
    }
    std::string errorOf(Tag tag) const {
        DmFile file = fileWith(GetParam(), std::move(tag));
        return openError(file);
    }
    /// The value of a directory: its entry count, 32-bit in DM3 and 64-bit in DM4.
    std::string directory(std::int64_t count) const {
        return GetParam() == Version::Dm3 ? valueText<std::int32_t>(ValueType::Int32, {std::int32_t(count)})
                                          : valueText<std::int64_t>(ValueType::Int64, {count});
    }
};

} // namespace

TEST_P(TagTree, WalkNamesNumbersAndIgnoredFields) {
    DmFile file(GetParam());
    file.lengthWord(0xFFFFFFFFU);
    Directory& root = file.root();
    root.flags(0xFF, 0x80);
    root.addTag(Tag::int32(0));
    root.addTag(std::string("a\0b", 3), Tag::int32(1));
    Directory& nested = root.addDirectory(); // a directory takes a number like a tag does
    nested.flags(0x12, 0x34).addTag(Tag::int32(2));
    nested.addTag(Tag::int32(3));
    root.addTag("item000", Tag::int32(4)); // a stored name that looks generated does not count
    root.addTag({}, Tag::int32(5), EntryOptions::withNameLength(0x8000)); // top bit: no name bytes
    root.addTag("\xFF\xFE", Tag::int32(6));
    root.addTag("A", Tag::int32(7), EntryOptions::withEntrySize(0xFFFFFFFFFFFFFFFF)); // DM4 size unused
    root.addTag("A", Tag::int32(8));
    Directory& list = root.addDirectory();
    for (int i = 0; i < 1001; ++i) {
        list.addTag(Tag::int32(i));
    }
    root.addDirectory("ImageList");
    file.trailer(hex("15 0000 25252524 FFFFFFFF")); // looks like another entry; nothing reads it

    const auto extractor = openDm(file);
    const NodePtr rootNode = extractor->metadata();
    EXPECT_EQ(rootNode->name(), "root");
    EXPECT_EQ(childNames(rootNode), Names{"GATAN"});
    EXPECT_EQ(valueOf(rootNode), "none");
    const NodePtr gatan = gatanNode(*extractor);
    EXPECT_EQ(valueOf(gatan), directory(10));
    EXPECT_EQ(childNames(gatan), (Names{"item000", std::string("a\0b", 3), "item001", "item000", "item002",
                                        "\xFF\xFE", "A", "A", "item003", "ImageList"}));
    for (std::size_t i : {0, 1, 3, 4, 5, 6, 7}) {
        const std::int32_t expected = static_cast<std::int32_t>(i < 3 ? i : i + 1);
        EXPECT_EQ(valueOf(gatan->childAt(i)), valueText<std::int32_t>(ValueType::Int32, {expected})) << i;
    }
    EXPECT_EQ(childNames(gatan->childAt(2)), (Names{"item000", "item001"}));
    EXPECT_EQ(valueOf(gatan->childAt(2)->childAt(1)), "int32:03 00 00 00");
    const NodePtr numbered = gatan->childAt(8);
    ASSERT_EQ(numbered->childCount(), 1001U);
    for (std::size_t i : {9, 10, 999, 1000}) {
        EXPECT_EQ(numbered->childAt(i)->name(), fmt::format("item{:03}", i));
    }
    EXPECT_EQ(valueOf(numbered->childAt(1000)), "int32:e8 03 00 00");
    EXPECT_EQ(valueOf(nodeAt(gatan, "ImageList")), directory(0));
    EXPECT_EQ(extractor->frameCount(), 0U);
}

TEST(TagTreeDm4, NegativeEntryCountMeansNoEntries) {
    DmFile file(Version::Dm4);
    file.root().addDirectory("Negative").entryCount(-5);
    file.root().addTag("After", Tag::int32(4));
    file.root().addDirectory("ImageList");
    const NodePtr gatan = gatanNode(*openDm(file));
    EXPECT_EQ(valueOf(nodeAt(gatan, "Negative")), valueText<std::int64_t>(ValueType::Int64, {-5}));
    EXPECT_EQ(nodeAt(gatan, "Negative")->childCount(), 0U);
    EXPECT_EQ(valueOf(nodeAt(gatan, "After")), "int32:04 00 00 00");
}

TEST_P(TagTree, EveryCodeAsScalarArrayAndGroupField) {
    // Code, value type, three elements; codes 10 and 12 are read as signed like 9 and 11.
    const std::vector<std::tuple<std::int64_t, std::string, std::string>> codes = {
        {2, "int16", "fe ff 01 00 2c 01"},
        {3, "int32", "fd ff ff ff 90 ee fe ff 05 00 00 00"},
        {4, "uint16", "ff ff 00 00 01 80"},
        {5, "uint32", "ff ff ff ff 00 28 6b ee 01 00 00 00"},
        {6, "float32", "00 00 c0 3f 00 00 00 80 ca f2 49 71"},
        {7, "float64", "00 00 00 00 00 00 02 c0 00 00 00 00 00 00 f0 3f 00 00 00 00 00 00 00 80"},
        {8, "uint8", "02 00 ff"},
        {9, "int8", "ff 7f 80"},
        {10, "int8", "fe 7f 80"},
        {11, "int64", "fe ff ff ff ff ff ff ff 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00 80"},
        {12, "int64", "ff ff ff ff ff ff ff ff 01 00 00 00 00 00 00 80 ff ff ff ff ff ff ff 7f"},
    };
    std::vector<Field> fields;
    std::vector<std::string> firsts;
    for (const auto& [code, type, elements] : codes) {
        const Bytes bytes = hex(elements);
        const Bytes first(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 3));
        firsts.push_back(type + ":" + toHex(first));
        EXPECT_EQ(valueOf(tagRead(Tag::scalar(code, first))), firsts.back());
        if (code != 4) { // an array of code 4 is text
            EXPECT_EQ(valueOf(tagRead(Tag::array(code, 3, bytes))), type + ":" + elements);
        }
        fields.push_back(Field{code, first});
    }
    const NodePtr group = tagRead(Tag::group(fields));
    EXPECT_EQ(valueOf(group), "none");
    ASSERT_EQ(group->childCount(), codes.size());
    for (std::size_t i = 0; i < codes.size(); ++i) {
        EXPECT_EQ(group->childAt(i)->name(), "Field" + std::to_string(i));
        EXPECT_EQ(valueOf(group->childAt(i)), firsts[i]);
    }
    // Info entries the kind does not use (beyond a scalar's code, a string's or array's length, a
    // group's name lengths) are ignored; empty arrays and groups consume nothing.
    EXPECT_EQ(valueOf(tagRead(Tag::raw({3, 99, -1, 18}, hex("06000000")))), "int32:06 00 00 00");
    EXPECT_EQ(valueOf(tagRead(Tag::raw({18, 2, 7, -1}, utf16Bytes(u"ok")))), "text:ok");
    EXPECT_EQ(valueOf(tagRead(Tag::raw({20, 4, 2, 15}, utf16Bytes(u"ok")))), "text:ok");
    EXPECT_EQ(childNames(tagRead(Tag::raw({15, 99, 2, 77, 3, -5, 6}, Bytes(8, 0)))),
              (Names{"Field0", "Field1"}));
    EXPECT_EQ(valueOf(tagRead(Tag::array(7, 0, {}))), "float64:");
    for (std::int64_t fieldCount : {0, -1}) {
        EXPECT_EQ(tagRead(Tag::raw({15, 0, fieldCount}, {}))->childCount(), 0U);
    }
}

TEST_P(TagTree, CodesOutsideTheTableAreNotConvertible) {
    const auto message = [](std::int64_t code) {
        return fmt::format("Tag type {0} is not convertible", code);
    };
    for (std::int64_t code : {0, 1, 13, 14, 16, 19, 21, -1}) { // 15, 18 and 20 select other kinds
        EXPECT_EQ(errorOf(Tag::scalar(code, Bytes(8, 0))), message(code));
    }
    for (std::int64_t code : {0, 1, 13, 15, 18, 20, -1}) {
        if (code != 15) { // as an array element code 15 selects an array of groups
            EXPECT_EQ(errorOf(Tag::array(code, 1, Bytes(8, 0))), message(code));
        }
        EXPECT_EQ(errorOf(Tag::group({Field::of(ElementType::Int32, 1), Field{code, Bytes(8, 0)}})),
                  message(code));
        EXPECT_EQ(errorOf(Tag::groupArray({3, code}, 1, Bytes(16, 0))), message(code));
    }
    // The name "Data" does not save the array; codes are neither truncated to 32 bits nor unsigned.
    DmFile data = fileWith(GetParam(), Tag::array(13, 1, Bytes(8, 0)), "Data");
    EXPECT_EQ(openError(data), message(13));
    const std::int64_t wide = GetParam() == Version::Dm4 ? (std::int64_t{1} << 32) + 3 : -2147483645;
    EXPECT_EQ(errorOf(Tag::scalar(wide, Bytes(4, 0))), message(wide));
}

TEST_P(TagTree, Utf16Text) {
    const std::vector<std::pair<std::u16string, std::string>> cases = {
        {u"Hi!", "Hi!"},
        {u"", ""},
        {std::u16string(u"A\0B", 3), std::string("A\0B", 3)}, // a zero unit neither ends nor is dropped
        {u"\u00E9\u20AC", "\xC3\xA9\xE2\x82\xAC"},
        {u"\U0001F600x", "\xF0\x9F\x98\x80x"},
        {{char16_t(0xD800), u'A', u'B'}, "B"},  // high surrogate and the unit after it are dropped
        {{u'x', char16_t(0xDFFF), u'y'}, "xy"}, // lone low surrogate
        {{u'A', char16_t(0xD800)}, "A"},        // high surrogate at the end
    };
    for (const auto& [units, utf8] : cases) {
        EXPECT_EQ(valueOf(tagRead(Tag::string(units))), "text:" + utf8);
        EXPECT_EQ(valueOf(tagRead(Tag::utf16Array(units))), "text:" + utf8);
    }
}

TEST_P(TagTree, DataArraysAreSkippedAndLeaveTheirOffset) {
    DmFile file(GetParam());
    Directory& a = file.root().addDirectory("A");
    const Tag& first = a.addTag("Data", Tag::array(7, 1 << 17, ramp(1 << 20)));
    a.addTag("Next", Tag::int8(1));
    const Tag& second = a.addTag("Data", Tag::groupArray({2, 2, 2}, 10, ramp(60)));
    const Tag& third = a.addTag("Data", Tag::utf16Array(u"not text when named Data"));
    for (const std::string& name : Names{"data", "Data2", " Data", "DataOffset", std::string("Data\0", 5)}) {
        a.addTag(name, Tag::array(2, 1, hex("ffff")));
    }
    file.root().addDirectory("ImageList");
    const Bytes bytes = file.toBytes();
    auto counting = std::make_shared<CountingStream>(memoryStream(bytes));
    const NodePtr dir = nodeAt(gatanNode(*openSource(counting)), "A");
    EXPECT_EQ(childNames(dir), (Names{"DataOffset", "Next", "DataOffset", "DataOffset", "data", "Data2",
                                      " Data", "DataOffset", std::string("Data\0", 5)}));
    EXPECT_EQ(valueOf(dir->childAt(0)), valueText<std::uint64_t>(ValueType::UInt64, {first.valueOffset()}));
    EXPECT_EQ(valueOf(dir->childAt(1)), "int8:01");
    EXPECT_EQ(valueOf(dir->childAt(2)), valueText<std::uint64_t>(ValueType::UInt64, {second.valueOffset()}));
    EXPECT_EQ(valueOf(dir->childAt(3)), valueText<std::uint64_t>(ValueType::UInt64, {third.valueOffset()}));
    for (std::size_t i = 4; i < 9; ++i) {
        EXPECT_EQ(valueOf(dir->childAt(i)), "int16:ff ff") << i;
    }
    EXPECT_LT(counting->bytesDelivered(), bytes.size() - (1 << 20)) << "the pixel bytes were read";
    EXPECT_LT(counting->largestRequest(), 4096U);
    // DM3: header 12, root flags and count 6, entry 15 0004 "Data", separator 4, info count 4, info
    // [20, 2, 1000] 12: the value starts at 45.
    if (GetParam() == Version::Dm3) {
        DmFile offset(Version::Dm3);
        offset.root().addTag("Data", Tag::array(2, 1000, ramp(2000)));
        offset.root().addDirectory("ImageList");
        EXPECT_EQ(valueOf(nodeAt(gatanNode(*openDm(offset)), "DataOffset")),
                  "uint64:2d 00 00 00 00 00 00 00");
    }
}

TEST_P(TagTree, ArraysOfGroupsMakeOneItemPerGroupAndOneFieldPerCode) {
    const NodePtr table = tagRead(Tag::raw({20, 15, 42, 2, -3, 9, 99, 7, 1001}, ramp(9 * 1001)));
    EXPECT_EQ(valueOf(table), "none");
    ASSERT_EQ(table->childCount(), 1001U);
    for (std::size_t i : {0, 999, 1000}) {
        const NodePtr item = table->childAt(i);
        EXPECT_EQ(item->name(), fmt::format("item{:03}", i));
        EXPECT_EQ(childNames(item), (Names{"Field0", "Field1"}));
        const Bytes bytes = ramp(9 * 1001);
        EXPECT_EQ(valueOf(item->childAt(0)), "int8:" + toHex(Bytes{bytes[9 * i]}));
        EXPECT_EQ(valueOf(item->childAt(1)),
                  "float64:" + toHex(Bytes(bytes.begin() + 9 * i + 1, bytes.begin() + 9 * i + 9)));
    }
    const NodePtr empty = tagRead(Tag::groupArray({}, 3, {}));
    EXPECT_EQ(childNames(empty), (Names{"item000", "item001", "item002"}));
    EXPECT_EQ(empty->childAt(2)->childCount(), 0U);
    EXPECT_EQ(tagRead(Tag::groupArray({3, 3}, 0, {}))->childCount(), 0U);
}

INSTANTIATE_TEST_SUITE_P(Versions, TagTree, ::testing::Values(Version::Dm3, Version::Dm4),
                         [](const auto& info) { return info.param == Version::Dm3 ? "Dm3" : "Dm4"; });
