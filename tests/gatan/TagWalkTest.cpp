// The directory walk: the tree under "root"/"GATAN", directory values, entry names, the numbering of
// unnamed entries and the fields the walk reads but does not use. Every case runs on both layouts,
// which is what shows that DM3 and DM4 give the same tree.

#include "GatanTestSupport.h"
#include "Hex.h"

#include <cstdint>
#include <cstring>
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace dmwriter;
using namespace testsupport;
using velmora::ValueType;

namespace {

/// The value type of a directory node: the entry count, 32-bit in DM3 and 64-bit in DM4.
::testing::AssertionResult isDirectory(const NodePtr& node, Version version, std::int64_t count) {
    if (version == Version::Dm3) {
        return holdsScalar(node, ValueType::Int32, static_cast<std::int32_t>(count));
    }
    return holdsScalar(node, ValueType::Int64, count);
}

class TagWalk : public ::testing::TestWithParam<Version> {
protected:
    /// Opens the file after appending an empty "ImageList"; returns "GATAN".
    NodePtr walk(DmFile& file) const {
        addEmptyImageList(file);
        return gatanNode(*openDm(file));
    }
};

} // namespace

TEST_P(TagWalk, WorkedExampleWalksToTheInt32Scalar) {
    // The example has no "ImageList": the walk succeeds, then frame discovery refuses the file.
    DmFile file(GetParam());
    file.root().addTag(Tag::int32(5));
    EXPECT_EQ(openError<velmora::Error>(file), "The file has no \"ImageList\" tag directory");

    addEmptyImageList(file);
    auto extractor = openDm(file);
    const NodePtr root = extractor->metadata();
    EXPECT_EQ(root->name(), "root");
    EXPECT_TRUE(hasNoValue(root));
    ASSERT_EQ(root->childCount(), 1U);
    const NodePtr gatan = root->childAt(0);
    EXPECT_EQ(gatan->name(), "GATAN");
    EXPECT_TRUE(isDirectory(gatan, GetParam(), 2));
    EXPECT_EQ(childNames(gatan), (std::vector<std::string>{"item000", "ImageList"}));
    EXPECT_TRUE(holdsScalar(nodeAt(root, "GATAN/item000"), ValueType::Int32, 5));
    EXPECT_EQ(nodeAt(root, "GATAN/item000")->childCount(), 0U);
    EXPECT_TRUE(isDirectory(nodeAt(gatan, "ImageList"), GetParam(), 0));
    EXPECT_EQ(nodeAt(gatan, "ImageList")->childCount(), 0U);
    EXPECT_EQ(extractor->frameCount(), 0U);
}

TEST_P(TagWalk, UnnamedEntriesAreNumberedPerDirectoryPastThreeDigits) {
    DmFile file(GetParam());
    Directory& root = file.root();
    root.addTag(Tag::int32(0));
    root.addTag("A", Tag::int32(1));
    Directory& nested = root.addDirectory(); // a directory takes a number like a tag does
    nested.addTag(Tag::int32(2));
    nested.addTag(Tag::int32(3));
    root.addTag(Tag::int32(4));
    root.addTag("item000", Tag::int32(5)); // a stored name that looks generated does not count
    Directory& list = root.addDirectory();
    for (int i = 0; i < 1001; ++i) {
        list.addTag(Tag::int32(i));
    }

    const NodePtr gatan = walk(file);
    EXPECT_EQ(childNames(gatan), (std::vector<std::string>{"item000", "A", "item001", "item002", "item000",
                                                           "item003", "ImageList"}));
    EXPECT_EQ(childNames(gatan->childAt(2)), (std::vector<std::string>{"item000", "item001"}));
    EXPECT_TRUE(holdsScalar(gatan->childAt(2)->childAt(1), ValueType::Int32, 3));
    EXPECT_TRUE(holdsScalar(gatan->childAt(3), ValueType::Int32, 4));
    const NodePtr listNode = gatan->childAt(5);
    ASSERT_EQ(listNode->childCount(), 1001U);
    for (std::size_t i : {0, 9, 10, 99, 100, 999, 1000}) {
        EXPECT_EQ(listNode->childAt(i)->name(), fmt::format("item{:03}", i));
        EXPECT_TRUE(holdsScalar(listNode->childAt(i), ValueType::Int32, static_cast<std::int32_t>(i)));
    }
}

TEST_P(TagWalk, NameLengthWithTopBitSetMakesAnUnnamedEntryWithoutNameBytes) {
    DmFile file(GetParam());
    Directory& root = file.root();
    root.addTag({}, Tag::int32(1), EntryOptions::withNameLength(0xFFFF));
    root.addTag({}, Tag::int32(2), EntryOptions::withNameLength(0x8000));
    root.addDirectory({}, EntryOptions::withNameLength(0x8001)).addTag("Inside", Tag::int32(3));
    root.addTag("B", Tag::int32(4));

    const NodePtr gatan = walk(file);
    EXPECT_EQ(childNames(gatan),
              (std::vector<std::string>{"item000", "item001", "item002", "B", "ImageList"}));
    EXPECT_TRUE(holdsScalar(gatan->childAt(0), ValueType::Int32, 1));
    EXPECT_TRUE(holdsScalar(gatan->childAt(1), ValueType::Int32, 2));
    EXPECT_TRUE(holdsScalar(nodeAt(gatan, "item002/Inside"), ValueType::Int32, 3));
    EXPECT_TRUE(holdsScalar(gatan->childAt(3), ValueType::Int32, 4));
}

TEST_P(TagWalk, NamesAreTakenByteForByteAndDuplicatesAreKept) {
    const std::vector<std::string> names = {std::string("a\0b", 3), "\xFF\xFE", "Caf\xE9", " padded ", "x/y",
                                            std::string(300, 'n'),  "A",        "A"};
    DmFile file(GetParam());
    for (std::size_t i = 0; i < names.size(); ++i) {
        file.root().addTag(names[i], Tag::int32(static_cast<std::int32_t>(i)));
    }
    file.root().addDirectory("A").addTag("B", Tag::int32(2));
    const NodePtr gatan = walk(file);
    ASSERT_EQ(gatan->childCount(), names.size() + 2);
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(gatan->childAt(i)->name(), names[i]);
        EXPECT_TRUE(holdsScalar(gatan->childAt(i), ValueType::Int32, static_cast<std::int32_t>(i)));
    }
    EXPECT_EQ(gatan->childAt(names.size())->name(), "A");
    EXPECT_TRUE(isDirectory(gatan->childAt(names.size()), GetParam(), 1));
}

TEST_P(TagWalk, FlagBytesTrailerAndLengthWordAreIgnored) {
    DmFile file(GetParam());
    file.lengthWord(GetParam() == Version::Dm3 ? 0xFFFFFFFFU : 0xFFFFFFFFFFFFFFFFU);
    file.root().flags(0xFF, 0x80);
    file.root().addDirectory("D").flags(0x12, 0x34).addTag("V", Tag::uint16(9));
    file.root().addTag("W", Tag::int8(-3));
    addEmptyImageList(file).flags(0xFF, 0xFF);
    // Bytes after the root directory look like another entry; nothing reads them.
    file.trailer(hex("15 0000 25252524 FFFFFFFF"));
    const NodePtr gatan = gatanNode(*openDm(file));
    EXPECT_EQ(childNames(gatan), (std::vector<std::string>{"D", "W", "ImageList"}));
    EXPECT_TRUE(holdsScalar(nodeAt(gatan, "D/V"), ValueType::UInt16, std::uint16_t{9}));
    EXPECT_TRUE(holdsScalar(nodeAt(gatan, "W"), ValueType::Int8, std::int8_t{-3}));
}

INSTANTIATE_TEST_SUITE_P(Versions, TagWalk, ::testing::Values(Version::Dm3, Version::Dm4), versionName);

TEST(TagWalkDm4, EntrySizeIsNotTrustedAndNegativeEntryCountMeansNoEntries) {
    DmFile file(Version::Dm4);
    Directory& root = file.root();
    root.addTag("Zero", Tag::int32(1), EntryOptions::withEntrySize(0));
    root.addTag("Huge", Tag::int32(2), EntryOptions::withEntrySize(0xFFFFFFFFFFFFFFFF));
    root.addDirectory("Dir", EntryOptions::withEntrySize(3))
        .addTag("Inner", Tag::int32(3), EntryOptions::withEntrySize(1));
    root.addDirectory("Negative").entryCount(-5);
    root.addTag("After", Tag::int32(4));
    addEmptyImageList(file);
    const NodePtr gatan = gatanNode(*openDm(file));
    EXPECT_TRUE(holdsScalar(nodeAt(gatan, "Zero"), ValueType::Int32, 1));
    EXPECT_TRUE(holdsScalar(nodeAt(gatan, "Huge"), ValueType::Int32, 2));
    EXPECT_TRUE(holdsScalar(nodeAt(gatan, "Dir/Inner"), ValueType::Int32, 3));
    // The node keeps the count as stored.
    EXPECT_TRUE(holdsScalar(nodeAt(gatan, "Negative"), ValueType::Int64, std::int64_t{-5}));
    EXPECT_EQ(nodeAt(gatan, "Negative")->childCount(), 0U);
    EXPECT_TRUE(holdsScalar(nodeAt(gatan, "After"), ValueType::Int32, 4));
}
