// Arrays named "Data" hold pixels: the walk records where their value bytes start, skips them and
// goes on with the next entry. Arrays of groups: one node per group, one per field.

#include "CountingStream.h"
#include "GatanTestSupport.h"
#include "Hex.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

using namespace dmwriter;
using namespace testsupport;
using velmora::ValueType;

namespace {

class DataSkip : public TagTest {};

} // namespace

TEST(DataSkipOffsets, DataOffsetIsTheAbsolutePositionOfTheFirstValueByte) {
    // DM3: header 12, root flags and count 6, entry 15 0004 "Data", separator 4, info count 4,
    // info [20, 2, 1000] 12: the 2000 value bytes start at 45.
    DmFile file(Version::Dm3);
    const Tag& data = file.root().addTag("Data", Tag::array(2, 1000, ramp(2000)));
    file.root().addTag("After", Tag::uint16(0xBEEF));
    addEmptyImageList(file);
    const NodePtr gatan = gatanNode(*openDm(file));
    ASSERT_EQ(data.valueOffset(), 45U);
    EXPECT_EQ(childNames(gatan), (std::vector<std::string>{"DataOffset", "After", "ImageList"}));
    EXPECT_TRUE(holdsScalar(nodeAt(gatan, "DataOffset"), ValueType::UInt64, std::uint64_t{45}));
    EXPECT_EQ(nodeAt(gatan, "DataOffset")->childCount(), 0U);
    EXPECT_TRUE(holdsScalar(nodeAt(gatan, "After"), ValueType::UInt16, std::uint16_t{0xBEEF}));
}

TEST_P(DataSkip, EveryDataArrayRecordsItsOwnOffset) {
    DmFile file(GetParam());
    Directory& a = file.root().addDirectory("A");
    const Tag& first = a.addTag("Data", Tag::array(7, 3, ramp(24)));
    a.addTag("Next", Tag::int8(1));
    Directory& b = file.root().addDirectory("B");
    const Tag& second = b.addTag("Data", Tag::groupArray({2, 2, 2}, 10, ramp(60)));
    b.addTag("Next", Tag::int8(2));
    const Tag& third = b.addTag("Data", Tag::utf16Array(u"not text when named Data"));
    b.addTag("Last", Tag::int8(3));
    addEmptyImageList(file);

    const NodePtr gatan = gatanNode(*openDm(file));
    EXPECT_EQ(childNames(nodeAt(gatan, "A")), (std::vector<std::string>{"DataOffset", "Next"}));
    EXPECT_EQ(childNames(nodeAt(gatan, "B")),
              (std::vector<std::string>{"DataOffset", "Next", "DataOffset", "Last"}));
    EXPECT_TRUE(holdsScalar(nodeAt(gatan, "A/DataOffset"), ValueType::UInt64, first.valueOffset()));
    EXPECT_TRUE(holdsScalar(nodeAt(gatan, "A/Next"), ValueType::Int8, std::int8_t{1}));
    EXPECT_TRUE(holdsScalar(nodeAt(gatan, "B")->childAt(0), ValueType::UInt64, second.valueOffset()));
    EXPECT_TRUE(holdsScalar(nodeAt(gatan, "B/Next"), ValueType::Int8, std::int8_t{2}));
    EXPECT_TRUE(holdsScalar(nodeAt(gatan, "B")->childAt(2), ValueType::UInt64, third.valueOffset()));
    EXPECT_TRUE(holdsScalar(nodeAt(gatan, "B/Last"), ValueType::Int8, std::int8_t{3}));
}

TEST_P(DataSkip, DataValueBytesAreSkippedNotRead) {
    const std::size_t pixelBytes = 1 << 20;
    DmFile file = fileWith(Tag::array(8, static_cast<std::int64_t>(pixelBytes), ramp(pixelBytes)));
    file.root().entry(1).name = "Data";
    const Bytes bytes = file.toBytes();
    auto counting = std::make_shared<CountingStream>(memoryStream(bytes));
    EXPECT_TRUE(holdsScalar(nodeAt(gatanNode(*openSource(counting)), "After"), ValueType::Int32, 77));
    EXPECT_EQ(counting->bytesDelivered(), bytes.size() - pixelBytes);
    EXPECT_LT(counting->largestRequest(), 64U);
}

TEST_P(DataSkip, OnlyTheExactNameDataIsSkipped) {
    DmFile file(GetParam());
    for (const std::string& name : std::vector<std::string>{"data", "DATA", "Data2", " Data", "Dat",
                                                            "DataOffset", std::string("Data\0", 5)}) {
        file.root().addTag(name, Tag::array(2, 2, littleEndian<std::int16_t>({-1, 2})));
    }
    addEmptyImageList(file);
    const NodePtr gatan = gatanNode(*openDm(file));
    ASSERT_EQ(gatan->childCount(), 8U);
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_TRUE(holds<std::int16_t>(gatan->childAt(i), ValueType::Int16, {-1, 2}))
            << gatan->childAt(i)->name();
    }
}

TEST_P(DataSkip, ArrayOfGroupsMakesOneItemPerGroupAndOneFieldPerCode) {
    const NodePtr table = tagRead(Tag::groupArray(
        {3, 7}, 2, concat({littleEndian(-1), littleEndian(0.5), littleEndian(2), littleEndian(-4.0)})));
    EXPECT_TRUE(hasNoValue(table));
    EXPECT_EQ(childNames(table), (std::vector<std::string>{"item000", "item001"}));
    for (const auto& item : *table) {
        EXPECT_TRUE(hasNoValue(item));
        EXPECT_EQ(childNames(item), (std::vector<std::string>{"Field0", "Field1"}));
    }
    EXPECT_TRUE(holdsScalar(nodeAt(table, "item000/Field0"), ValueType::Int32, -1));
    EXPECT_TRUE(holdsScalar(nodeAt(table, "item000/Field1"), ValueType::Float64, 0.5));
    EXPECT_TRUE(holdsScalar(nodeAt(table, "item001/Field0"), ValueType::Int32, 2));
    EXPECT_TRUE(holdsScalar(nodeAt(table, "item001/Field1"), ValueType::Float64, -4.0));

    // The name length entries of the info array change nothing.
    const NodePtr named = tagRead(Tag::raw({20, 15, 42, 2, -3, 10, 99, 2, 1}, hex("FF 0180")));
    EXPECT_TRUE(holdsScalar(nodeAt(named, "item000/Field0"), ValueType::Int8, std::int8_t{-1}));
    EXPECT_TRUE(holdsScalar(nodeAt(named, "item000/Field1"), ValueType::Int16, std::int16_t{-32767}));
}

TEST_P(DataSkip, ArrayOfGroupsNumbersItemsPastThreeDigits) {
    const NodePtr table = tagRead(Tag::groupArray({8}, 1001, ramp(1001)));
    ASSERT_EQ(table->childCount(), 1001U);
    EXPECT_EQ(table->childAt(999)->name(), "item999");
    EXPECT_EQ(table->childAt(1000)->name(), "item1000");
    EXPECT_TRUE(holdsScalar(nodeAt(table, "item1000/Field0"), ValueType::UInt8, ramp(1001)[1000]));
}

TEST_P(DataSkip, ArraysOfEmptyGroupsAndOfNoGroupsConsumeNothing) {
    const NodePtr empty = tagRead(Tag::groupArray({}, 5, {}));
    EXPECT_EQ(childNames(empty),
              (std::vector<std::string>{"item000", "item001", "item002", "item003", "item004"}));
    for (const auto& item : *empty) {
        EXPECT_EQ(item->childCount(), 0U);
        EXPECT_TRUE(hasNoValue(item));
    }
    const NodePtr none = tagRead(Tag::groupArray({3, 3}, 0, {}));
    EXPECT_EQ(none->childCount(), 0U);
    EXPECT_TRUE(hasNoValue(none));
}

INSTANTIATE_TEST_SUITE_P(Versions, DataSkip, ::testing::Values(Version::Dm3, Version::Dm4), versionName);
