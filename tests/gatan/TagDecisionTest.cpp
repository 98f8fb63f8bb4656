// How the walk treats input that the format itself does not rule out: data that ends early, values
// larger than the file, info arrays too short for their kind, negative counts, empty groups without
// end and directories nested without end. Each is refused with a velmora::Error whose message says
// which tag or directory and why; none may run on, crash or allocate what the file cannot hold.

#include "GatanTestSupport.h"
#include "Hex.h"
#include "LogCapture.h"
#include "dmwriter/DmWriter.h"

#include <cstdint>
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace dmwriter;
using namespace testsupport;
using ::testing::StartsWith;
using velmora::ValueType;

namespace {

class TagDecisions : public ::testing::TestWithParam<Version> {
protected:
    unsigned width() const { return GetParam() == Version::Dm4 ? 8 : 4; }

    /// A good entry, then `tag` as "Broken", then an empty "ImageList".
    DmFile fileWith(Tag tag) const {
        DmFile file(GetParam());
        file.root().addTag("Good", Tag::int32(1));
        file.root().addTag("Broken", std::move(tag));
        addEmptyImageList(file);
        return file;
    }
    std::string errorOf(Tag tag) const {
        DmFile file = fileWith(std::move(tag));
        return openError<velmora::Error>(file);
    }
};

std::string versionName(const ::testing::TestParamInfo<Version>& info) {
    return info.param == Version::Dm3 ? "Dm3" : "Dm4";
}

Bytes prefix(const Bytes& bytes, std::uint64_t size) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
}

/// A file with one of every kind of entry, the skipped "Data" array in the middle.
DmFile everyKind(Version version) {
    DmFile file(version);
    Directory& root = file.root();
    root.addTag("Scalar", Tag::float64(2.5));
    root.addTag(Tag::string(u"text"));
    Directory& nested = root.addDirectory("Nested");
    nested.addTag("Array", Tag::array<std::int16_t>(ElementType::Int16, {1, 2, 3}));
    nested.addTag("Group",
                  Tag::group({Field::of(ElementType::Int32, 7), Field::of(ElementType::Float32, 1.0F)}));
    nested.addTag("Data", Tag::array(7, 4, Bytes(32, 0xAB)));
    nested.addTag("Table", Tag::groupArray({3, 8}, 2, Bytes(10, 1)));
    nested.addTag("Text", Tag::utf16Array(u"abc"));
    root.addDirectory().addTag("Empty", Tag::groupArray({}, 3, {}));
    addEmptyImageList(file);
    return file;
}

} // namespace

TEST_P(TagDecisions, EveryTruncationFailsWithDataEndedEarly) {
    DmFile file = everyKind(GetParam());
    const Bytes bytes = file.toBytes();
    ASSERT_NO_THROW(openDm(bytes));
    for (std::uint64_t size = 0; size < bytes.size(); ++size) {
        EXPECT_THAT(openError<velmora::Error>(prefix(bytes, size)), StartsWith("DM data ended early"))
            << size;
    }
}

TEST_P(TagDecisions, TruncationMessagesNameTheOffset) {
    DmFile file(GetParam());
    const Tag& scalar = file.root().addTag("Scalar", Tag::int32(5));
    const Tag& array = file.root().addTag("Array", Tag::array<std::int16_t>(ElementType::Int16, {1, 2, 3}));
    const Tag& text = file.root().addTag("Text", Tag::string(u"abcd"));
    addEmptyImageList(file);
    const Bytes bytes = file.toBytes();
    const unsigned w = width();

    // Structural fields and scalars: the read that came up short.
    EXPECT_EQ(openError<velmora::Error>(prefix(bytes, scalar.offset() + 3)),
              fmt::format("DM data ended early at offset {0}: 4 bytes needed, 3 available", scalar.offset()));
    EXPECT_EQ(
        openError<velmora::Error>(prefix(bytes, scalar.valueOffset() + 1)),
        fmt::format("DM data ended early at offset {0}: 4 bytes needed, 1 available", scalar.valueOffset()));
    EXPECT_EQ(openError<velmora::Error>(prefix(bytes, 6)),
              "DM data ended early at offset 4: " + std::to_string(w) + " bytes needed, 2 available");
    // Info arrays and values are checked against the bytes left before anything is allocated.
    EXPECT_EQ(
        openError<velmora::Error>(prefix(bytes, array.offset() + 4 + w + 1)),
        fmt::format("DM data ended early: tag \"Array\" needs {0} bytes at offset {1}, but only 1 remain",
                    3 * w, array.offset() + 4 + w));
    EXPECT_EQ(openError<velmora::Error>(prefix(bytes, array.valueOffset() + 5)),
              fmt::format("DM data ended early: tag \"Array\" needs 6 bytes at offset {0}, but only 5 remain",
                          array.valueOffset()));
    EXPECT_EQ(openError<velmora::Error>(prefix(bytes, text.valueOffset())),
              fmt::format("DM data ended early: tag \"Text\" needs 8 bytes at offset {0}, but only 0 remain",
                          text.valueOffset()));
}

TEST_P(TagDecisions, DataSkippedPastTheEndFailsAtTheNextRead) {
    // The skip itself is allowed (pixels are read, or found missing, later); the next entry is not there.
    DmFile file(GetParam());
    const Tag& data = file.root().addTag("Data", Tag::raw({20, 2, 1000}, Bytes(10, 0)));
    file.root().addTag("After", Tag::int32(1));
    addEmptyImageList(file);
    const Bytes bytes = file.toBytes();
    EXPECT_EQ(openError<velmora::Error>(bytes),
              fmt::format("DM data ended early at offset {0}: 1 bytes needed, 0 available",
                          data.valueOffset() + 2000));
}

TEST_P(TagDecisions, ValuesLargerThanTheRestOfTheFileAreRefused) {
    const std::string head = "DM data ended early: tag \"Broken\" needs ";
    EXPECT_THAT(errorOf(Tag::raw({20, 2, 1000}, Bytes(100, 0))), StartsWith(head + "2000 bytes at offset"));
    EXPECT_THAT(errorOf(Tag::raw({18, 1000}, Bytes(100, 0))), StartsWith(head + "2000 bytes at offset"));
    EXPECT_THAT(errorOf(Tag::raw({20, 4, 1000}, Bytes(100, 0))), StartsWith(head + "2000 bytes at offset"));
    EXPECT_THAT(errorOf(Tag::raw({20, 15, 0, 2, 0, 3, 0, 7, 1000}, Bytes(100, 0))),
                StartsWith(head + "12000 bytes at offset"));
    EXPECT_THAT(errorOf(Tag::raw({3}, {}).infoCount(100000)),
                StartsWith(head + std::to_string(100000 * width()) + " bytes at offset"));
}

TEST_P(TagDecisions, InfoArraysShorterThanTheirKindAreRefused) {
    struct Case {
        std::vector<std::int64_t> info;
        std::size_t needed;
    };
    const std::vector<Case> cases = {
        {{}, 1},      {{20}, 2},     {{18}, 2},        {{15}, 3},           {{15, 0}, 3},
        {{20, 2}, 3}, {{20, 15}, 4}, {{20, 15, 0}, 4}, {{20, 15, 0, 0}, 5}, {{20, 15, 0, 1, 0, 3}, 7},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(errorOf(Tag::raw(c.info, Bytes(16, 0))),
                  fmt::format(
                      "Tag \"Broken\" has an info array of {0} entries, too short for its kind ({1} needed)",
                      c.info.size(), c.needed))
            << ::testing::PrintToString(c.info);
    }
    // A group whose field count needs more entries than were read.
    EXPECT_EQ(errorOf(Tag::raw({15, 0, 1, 0}, Bytes(16, 0))),
              "Tag \"Broken\" has an info array of 4 entries, too short for a group of 1 fields");
    EXPECT_EQ(errorOf(Tag::raw({15, 0, 2, 0, 3, 0}, Bytes(16, 0))),
              "Tag \"Broken\" has an info array of 6 entries, too short for a group of 2 fields");
    // The info count decides, not what follows it: [20, 2] and then 3 as a would-be value.
    EXPECT_EQ(errorOf(Tag::raw({20, 2, 3}, Bytes(6, 0)).infoCount(2)),
              "Tag \"Broken\" has an info array of 2 entries, too short for its kind (3 needed)");
}

TEST_P(TagDecisions, ShortInfoArraysAreRefusedBeforeAValueParserRuns) {
    ensurePluginLogger();
    for (const std::vector<std::int64_t>& info : std::vector<std::vector<std::int64_t>>{
             {18}, {15, 0}, {15, 0, 1, 0}, {20, 2}, {20, 15, 0}, {20, 15, 0, 1, 0, 3}}) {
        DmFile file = fileWith(Tag::raw(info, Bytes(16, 0)));
        LogCapture log;
        EXPECT_THAT(openError<velmora::Error>(file), StartsWith("Tag \"Broken\" has an info array of"));
        const std::vector<std::string> lines = log.lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_THAT(lines.back(), ::testing::EndsWith("debug Parsing tag \"Broken\""))
            << ::testing::PrintToString(info);
    }
}

TEST(TagDecisionsDm3, NegativeEntryCountIsRefused) {
    for (bool nested : {false, true}) {
        DmFile file(Version::Dm3);
        Directory& directory = nested ? file.root().addDirectory("Inner") : file.root();
        directory.entryCount(-1);
        directory.addTag("Tag", Tag::int32(1));
        if (nested) {
            addEmptyImageList(file);
        }
        EXPECT_EQ(
            openError<velmora::Error>(file),
            fmt::format("Tag directory \"{0}\" has a negative entry count -1", nested ? "Inner" : "GATAN"));
    }
    DmFile file(Version::Dm3);
    file.root().entryCount(-2147483647 - 1);
    EXPECT_EQ(openError<velmora::Error>(file),
              "Tag directory \"GATAN\" has a negative entry count -2147483648");
}

TEST_P(TagDecisions, NegativeCountsOfDataArraysAndArraysOfGroupsAreRefused) {
    DmFile data(GetParam());
    data.root().addTag("Data", Tag::raw({20, 2, -1}, Bytes(8, 0)));
    addEmptyImageList(data);
    EXPECT_EQ(openError<velmora::Error>(data), "Tag \"Data\" has a negative element count -1");

    DmFile dataGroups(GetParam());
    dataGroups.root().addTag("Data", Tag::groupArray({2, 2}, -3, Bytes(8, 0)));
    addEmptyImageList(dataGroups);
    EXPECT_EQ(openError<velmora::Error>(dataGroups), "Tag \"Data\" has a negative group count -3");

    EXPECT_EQ(errorOf(Tag::groupArray({3}, -1, Bytes(8, 0))), "Tag \"Broken\" has a negative group count -1");
    EXPECT_EQ(errorOf(Tag::groupArray({}, -1, {})), "Tag \"Broken\" has a negative group count -1");
}

TEST(TagDecisionsDm4, CountsWhoseSizeOverflowsAreRefused) {
    // 2^62 elements of 8 bytes, and 2^61 groups of 16 bytes: no 64-bit size exists.
    DmFile data(Version::Dm4);
    data.root().addTag("Data", Tag::raw({20, 7, std::int64_t{1} << 62}, {}));
    addEmptyImageList(data);
    EXPECT_EQ(openError<velmora::Error>(data),
              "Tag \"Data\" declares 4611686018427387904 elements, more than a file can hold");

    DmFile array(Version::Dm4);
    array.root().addTag("Big", Tag::raw({20, 7, std::int64_t{1} << 62}, {}));
    addEmptyImageList(array);
    EXPECT_EQ(openError<velmora::Error>(array),
              "Tag \"Big\" declares 4611686018427387904 elements, more than a file can hold");

    DmFile groups(Version::Dm4);
    groups.root().addTag("Big", Tag::groupArray({7, 7}, std::int64_t{1} << 61, {}));
    addEmptyImageList(groups);
    EXPECT_EQ(openError<velmora::Error>(groups),
              "Tag \"Big\" declares 2305843009213693952 groups, more than a file can hold");
}

TEST_P(TagDecisions, EmptyGroupsAreBoundedPerFile) {
    constexpr std::int64_t bound = GatanExtractor::MaxEmptyGroupNodes;
    EXPECT_EQ(errorOf(Tag::groupArray({}, bound + 1, {})),
              fmt::format("Tag \"Broken\" declares {0} empty groups; at most {1} are accepted per file",
                          bound + 1, bound));
    EXPECT_EQ(
        errorOf(Tag::groupArray({}, 2147483647, {})),
        fmt::format("Tag \"Broken\" declares 2147483647 empty groups; at most {0} are accepted per file",
                    bound));

    // The bound holds for the whole file: two tags of half the bound plus one each.
    DmFile file(GetParam());
    file.root().addTag("First", Tag::groupArray({}, bound / 2 + 1, {}));
    file.root().addTag("Second", Tag::groupArray({}, bound / 2 + 1, {}));
    addEmptyImageList(file);
    EXPECT_EQ(openError<velmora::Error>(file),
              fmt::format("Tag \"Second\" declares {0} empty groups; at most {1} are accepted per file",
                          bound / 2 + 1, bound));
}

namespace {

/// `levels` directories, each the only entry of the one before, the innermost one empty; the root
/// is the first level. Written by hand: far too deep for a recursive writer.
Bytes nestedDirectories(Version version, std::size_t levels) {
    const bool wide = version == Version::Dm4;
    Bytes bytes = wide ? hex("00000004 0000000000000000 00000001") : hex("00000003 00000000 00000001");
    const Bytes countOne = wide ? hex("0000000000000001") : hex("00000001");
    const Bytes countZero = wide ? hex("0000000000000000") : hex("00000000");
    const Bytes entryHead = wide ? hex("14 0000 0000000000000000") : hex("14 0000");
    for (std::size_t level = 1; level <= levels; ++level) {
        bytes.insert(bytes.end(), {0, 0});
        const Bytes& count = level == levels ? countZero : countOne;
        bytes.insert(bytes.end(), count.begin(), count.end());
        if (level != levels) {
            bytes.insert(bytes.end(), entryHead.begin(), entryHead.end());
        }
    }
    return bytes;
}

} // namespace

TEST_P(TagDecisions, NestingDeeperThan256LevelsIsRefused) {
    // 256 levels (the root and 255 below it) are walked; the file then lacks an "ImageList".
    EXPECT_EQ(openError<velmora::Error>(nestedDirectories(GetParam(), 256)),
              "The file has no \"ImageList\" tag directory");
    EXPECT_EQ(openError<velmora::Error>(nestedDirectories(GetParam(), 257)),
              "Tag directory \"item000\" is nested deeper than 256 levels");
    // Far deeper than any stack would hold if the walk recursed without a bound.
    EXPECT_EQ(openError<velmora::Error>(nestedDirectories(GetParam(), 200000)),
              "Tag directory \"item000\" is nested deeper than 256 levels");
}

TEST_P(TagDecisions, DeepButBoundedNestingOpens) {
    DmFile file(GetParam());
    Directory* directory = &file.root();
    for (int level = 1; level < 256; ++level) {
        directory = &directory->addDirectory("L" + std::to_string(level));
    }
    directory->addTag("Deepest", Tag::int32(256));
    addEmptyImageList(file);
    NodePtr node = gatanNode(*openDm(file));
    for (int level = 1; level < 256; ++level) {
        ASSERT_EQ(node->childCount(), level == 1 ? 2U : 1U) << level;
        node = node->childAt(0);
        ASSERT_EQ(node->name(), "L" + std::to_string(level));
    }
    EXPECT_TRUE(holdsScalar(node->childAt(0), ValueType::Int32, 256));
}

INSTANTIATE_TEST_SUITE_P(Versions, TagDecisions, ::testing::Values(Version::Dm3, Version::Dm4), versionName);
