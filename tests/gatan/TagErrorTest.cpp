// The failures of the header checks and of the tag walk, each with its exact message and exception
// type: velmora::Error for malformed structure (data that ends early, values larger than the file,
// info arrays too short for their kind, negative counts, empty groups and nesting without end),
// std::length_error where a negative count reaches a container. None may run on, crash or allocate
// what the file cannot hold.

#include "GatanTestSupport.h"
#include "Hex.h"
#include "LogCapture.h"

#include <cstdint>
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <vector>

using namespace dmwriter;
using namespace testsupport;
using ::testing::StartsWith;
using velmora::ValueType;

namespace {

class TagErrors : public TagTest {
protected:
    unsigned width() const { return GetParam() == Version::Dm4 ? 8 : 4; }
};

Bytes prefix(const Bytes& bytes, std::uint64_t size) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
}

const std::string s_lengthError = "cannot create std::vector larger than max_size()";

} // namespace

TEST_P(TagErrors, HeaderVersionAndByteOrderAreChecked) {
    DmFile file(GetParam());
    addEmptyImageList(file);
    file.versionWord(5);
    EXPECT_EQ(openError<velmora::Error>(file), "Unsupported version 5");
    // The version is checked before the byte order.
    file.versionWord(7).byteOrder(0);
    EXPECT_EQ(openError<velmora::Error>(file), "Unsupported version 7");
    file.versionWord(0x03000000);
    EXPECT_EQ(openError<velmora::Error>(file), "Unsupported version 50331648");
    file.versionWord(static_cast<std::uint32_t>(GetParam()));
    EXPECT_EQ(openError<velmora::Error>(file), "Unsupported endianess conversion");
    file.byteOrder(0x01000000);
    EXPECT_EQ(openError<velmora::Error>(file), "Unsupported endianess conversion");
}

TEST_P(TagErrors, TagTypeByteMustBeDirectoryOrTag) {
    // The byte is shown as a signed 8-bit number in hexadecimal.
    const std::vector<std::pair<std::uint8_t, std::string>> cases = {
        {0x16, "Invalid tag type 16"}, {0x80, "Invalid tag type -80"}, {0xFF, "Invalid tag type -1"},
        {0x00, "Invalid tag type 0"},  {0x13, "Invalid tag type 13"},  {0x7F, "Invalid tag type 7f"},
        {0x25, "Invalid tag type 25"},
    };
    for (const auto& [byte, message] : cases) {
        DmFile file = fileWith(Tag::int32(2), EntryOptions::withTypeByte(byte));
        EXPECT_EQ(openError<velmora::Error>(file), message);
    }
    // A directory entry's byte is checked the same way, in nested directories too.
    DmFile nested(GetParam());
    nested.root().addDirectory("Outer").addDirectory("Inner", EntryOptions::withTypeByte(0x16));
    addEmptyImageList(nested);
    EXPECT_EQ(openError<velmora::Error>(nested), "Invalid tag type 16");
    // A tag body announced as a directory is read as a directory, and fails in its own way.
    DmFile swapped = fileWith(Tag::int32(2), EntryOptions::withTypeByte(DirectoryEntry));
    EXPECT_THAT(openError<velmora::Error>(swapped), ::testing::Not(StartsWith("no exception")));
    for (const char* separator : {"%%%$", "$%%%", "    ", "%%%\0"}) {
        EXPECT_EQ(errorOf(Tag::int32(2).separator(std::string_view(separator, 4))), "Invalid tag separator");
    }
}

TEST_P(TagErrors, NegativeOrHugeLengthsAreLengthErrors) {
    // Info counts, string lengths, array counts (code 4 too) and the field count of an array of
    // groups: each fails before reading anything.
    std::vector<Tag> tags = {
        Tag::int32(2).infoCount(-1),           Tag::int32(2).infoCount(-2147483647 - 1),
        Tag::raw({18, -1}, utf16Bytes(u"xx")), Tag::raw({18, -2147483647 - 1}, {}),
        Tag::raw({20, 2, -1}, Bytes(4, 0)),    Tag::raw({20, 4, -1}, Bytes(4, 0)),
        Tag::raw({20, 7, -3}, Bytes(4, 0)),    Tag::raw({20, 15, 0, -1, 0}, Bytes(4, 0)),
    };
    if (GetParam() == Version::Dm4) {
        tags.push_back(Tag::int32(2).infoCount(std::int64_t{1} << 60));
        tags.push_back(Tag::int32(2).infoCount(std::int64_t{1} << 62));
        tags.push_back(Tag::raw({20, 15, 0, std::int64_t{1} << 60, 0}, {}));
    }
    for (std::size_t i = 0; i < tags.size(); ++i) {
        EXPECT_EQ(errorOf<std::length_error>(tags[i]), s_lengthError) << "case " << i;
    }
}

namespace {

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

TEST_P(TagErrors, EveryTruncationFailsWithDataEndedEarly) {
    DmFile file = everyKind(GetParam());
    const Bytes bytes = file.toBytes();
    ASSERT_NO_THROW(openDm(bytes));
    for (std::uint64_t size = 0; size < bytes.size(); ++size) {
        EXPECT_THAT(openError<velmora::Error>(prefix(bytes, size)), StartsWith("DM data ended early"))
            << size;
    }
}

TEST_P(TagErrors, TruncationMessagesNameTheOffset) {
    DmFile file(GetParam());
    const Tag& scalar = file.root().addTag("Scalar", Tag::int32(5));
    const Tag& array = file.root().addTag("Array", Tag::array<std::int16_t>(ElementType::Int16, {1, 2, 3}));
    const Tag& text = file.root().addTag("Text", Tag::string(u"abcd"));
    // A "Data" array skipped past the end fails at the next read: the skip itself is allowed
    // (pixels are read, or found missing, later).
    DmFile skipped(GetParam());
    const Tag& data = skipped.root().addTag("Data", Tag::raw({20, 2, 1000}, Bytes(10, 0)));
    skipped.root().addTag("After", Tag::int32(1));
    addEmptyImageList(skipped);
    const Bytes bytes = file.toBytes();
    const unsigned w = width();

    const std::vector<std::pair<Bytes, std::string>> cases = {
        // Structural fields and scalars: the read that came up short.
        {prefix(bytes, scalar.offset() + 3),
         fmt::format("DM data ended early at offset {0}: 4 bytes needed, 3 available", scalar.offset())},
        {prefix(bytes, scalar.valueOffset() + 1),
         fmt::format("DM data ended early at offset {0}: 4 bytes needed, 1 available", scalar.valueOffset())},
        {prefix(bytes, 6), fmt::format("DM data ended early at offset 4: {0} bytes needed, 2 available", w)},
        {skipped.toBytes(), fmt::format("DM data ended early at offset {0}: 1 bytes needed, 0 available",
                                        data.valueOffset() + 2000)},
        // Info arrays and values are checked against the bytes left before anything is allocated.
        {prefix(bytes, array.offset() + 4 + w + 1),
         fmt::format("DM data ended early: tag \"Array\" needs {0} bytes at offset {1}, but only 1 remain",
                     3 * w, array.offset() + 4 + w)},
        {prefix(bytes, array.valueOffset() + 5),
         fmt::format("DM data ended early: tag \"Array\" needs 6 bytes at offset {0}, but only 5 remain",
                     array.valueOffset())},
        {prefix(bytes, text.valueOffset()),
         fmt::format("DM data ended early: tag \"Text\" needs 8 bytes at offset {0}, but only 0 remain",
                     text.valueOffset())},
    };
    for (const auto& [input, message] : cases) {
        EXPECT_EQ(openError<velmora::Error>(input), message);
    }
}

TEST_P(TagErrors, ValuesLargerThanTheRestOfTheFileAreRefused) {
    const std::string head = "DM data ended early: tag \"T\" needs ";
    EXPECT_THAT(errorOf(Tag::raw({20, 2, 1000}, Bytes(100, 0))), StartsWith(head + "2000 bytes at offset"));
    EXPECT_THAT(errorOf(Tag::raw({18, 1000}, Bytes(100, 0))), StartsWith(head + "2000 bytes at offset"));
    EXPECT_THAT(errorOf(Tag::raw({20, 4, 1000}, Bytes(100, 0))), StartsWith(head + "2000 bytes at offset"));
    EXPECT_THAT(errorOf(Tag::raw({20, 15, 0, 2, 0, 3, 0, 7, 1000}, Bytes(100, 0))),
                StartsWith(head + "12000 bytes at offset"));
    EXPECT_THAT(errorOf(Tag::raw({3}, {}).infoCount(100000)),
                StartsWith(head + std::to_string(100000 * width()) + " bytes at offset"));
}

TEST_P(TagErrors, InfoArraysShorterThanTheirKindAreRefusedBeforeAValueParserRuns) {
    struct Case {
        std::vector<std::int64_t> info;
        std::string needed;
    };
    const std::vector<Case> cases = {
        {{}, "its kind (1 needed)"},
        {{20}, "its kind (2 needed)"},
        {{18}, "its kind (2 needed)"},
        {{15}, "its kind (3 needed)"},
        {{15, 0}, "its kind (3 needed)"},
        {{20, 2}, "its kind (3 needed)"},
        {{20, 15}, "its kind (4 needed)"},
        {{20, 15, 0}, "its kind (4 needed)"},
        {{20, 15, 0, 0}, "its kind (5 needed)"},
        {{20, 15, 0, 1, 0, 3}, "its kind (7 needed)"},
        // A group whose field count needs more entries than were read.
        {{15, 0, 1, 0}, "a group of 1 fields"},
        {{15, 0, 2, 0, 3, 0}, "a group of 2 fields"},
    };
    ensurePluginLogger();
    for (const Case& c : cases) {
        DmFile file = fileWith(Tag::raw(c.info, Bytes(16, 0)));
        LogCapture log;
        EXPECT_EQ(openError<velmora::Error>(file),
                  fmt::format("Tag \"T\" has an info array of {0} entries, too short for {1}", c.info.size(),
                              c.needed))
            << ::testing::PrintToString(c.info);
        ASSERT_FALSE(log.lines().empty());
        EXPECT_THAT(log.lines().back(), ::testing::EndsWith("debug Parsing tag \"T\""));
    }
    // The info count decides, not what follows it: [20, 2] and then 3 as a would-be value.
    EXPECT_EQ(errorOf(Tag::raw({20, 2, 3}, Bytes(6, 0)).infoCount(2)),
              "Tag \"T\" has an info array of 2 entries, too short for its kind (3 needed)");
}

TEST(TagErrorsDm3, NegativeEntryCountIsRefused) {
    for (bool nested : {false, true}) {
        DmFile file(Version::Dm3);
        Directory& directory = nested ? file.root().addDirectory("Inner") : file.root();
        directory.entryCount(-1);
        directory.addTag("Tag", Tag::int32(1));
        EXPECT_EQ(
            openError<velmora::Error>(file),
            fmt::format("Tag directory \"{0}\" has a negative entry count -1", nested ? "Inner" : "GATAN"));
    }
    DmFile file(Version::Dm3);
    file.root().entryCount(-2147483647 - 1);
    EXPECT_EQ(openError<velmora::Error>(file),
              "Tag directory \"GATAN\" has a negative entry count -2147483648");
}

TEST_P(TagErrors, NegativeAndOverflowingCountsOfArraysAreRefused) {
    const auto dataError = [this](const std::string& name, Tag tag) {
        DmFile file(GetParam());
        file.root().addTag(name, std::move(tag));
        addEmptyImageList(file);
        return openError<velmora::Error>(file);
    };
    EXPECT_EQ(dataError("Data", Tag::raw({20, 2, -1}, Bytes(8, 0))),
              "Tag \"Data\" has a negative element count -1");
    EXPECT_EQ(dataError("Data", Tag::groupArray({2, 2}, -3, Bytes(8, 0))),
              "Tag \"Data\" has a negative group count -3");
    EXPECT_EQ(errorOf(Tag::groupArray({3}, -1, Bytes(8, 0))), "Tag \"T\" has a negative group count -1");
    EXPECT_EQ(errorOf(Tag::groupArray({}, -1, {})), "Tag \"T\" has a negative group count -1");
    if (GetParam() == Version::Dm4) {
        // 2^62 elements of 8 bytes, and 2^61 groups of 16 bytes: no 64-bit size exists.
        for (const char* name : {"Data", "Big"}) {
            EXPECT_EQ(
                dataError(name, Tag::raw({20, 7, std::int64_t{1} << 62}, {})),
                fmt::format("Tag \"{0}\" declares 4611686018427387904 elements, more than a file can hold",
                            name));
        }
        EXPECT_EQ(dataError("Big", Tag::groupArray({7, 7}, std::int64_t{1} << 61, {})),
                  "Tag \"Big\" declares 2305843009213693952 groups, more than a file can hold");
    }
}

TEST_P(TagErrors, EmptyGroupsAreBoundedPerFile) {
    constexpr std::int64_t bound = GatanExtractor::MaxEmptyGroupNodes;
    for (std::int64_t count : {bound + 1, std::int64_t{2147483647}}) {
        EXPECT_EQ(errorOf(Tag::groupArray({}, count, {})),
                  fmt::format("Tag \"T\" declares {0} empty groups; at most {1} are accepted per file", count,
                              bound));
    }
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

TEST_P(TagErrors, NestingDeeperThan256LevelsIsRefused) {
    // 256 levels (the root and 255 below it) are walked; the file then lacks an "ImageList".
    EXPECT_EQ(openError<velmora::Error>(nestedDirectories(GetParam(), 256)),
              "The file has no \"ImageList\" tag directory");
    // Far deeper than any stack would hold if the walk recursed without a bound.
    for (std::size_t levels : {257, 200000}) {
        EXPECT_EQ(openError<velmora::Error>(nestedDirectories(GetParam(), levels)),
                  "Tag directory \"item000\" is nested deeper than 256 levels");
    }
    // The writer's 255 named levels below the root, with a tag in the deepest, open.
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

INSTANTIATE_TEST_SUITE_P(Versions, TagErrors, ::testing::Values(Version::Dm3, Version::Dm4), versionName);
