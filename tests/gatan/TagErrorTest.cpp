// The failures of the header checks and of the tag walk with their exact messages: data that ends
// early (with its offset), values larger than the file, info arrays too short for their kind,
// negative and overflowing counts, nesting without end; and what the walk logs at which level.

#include "GatanTestSupport.h"
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

namespace {

class TagErrors : public ::testing::TestWithParam<Version> {
protected:
    std::string errorOf(Tag tag, const std::string& name = "T") const {
        DmFile file = fileWith(GetParam(), std::move(tag), name);
        return openError(file);
    }
    std::string lengthErrorOf(Tag tag) const {
        DmFile file = fileWith(GetParam(), std::move(tag));
        return openError<std::length_error>(file);
    }
    unsigned width() const { return GetParam() == Version::Dm4 ? 8 : 4; }
};

Bytes prefix(const Bytes& bytes, std::uint64_t size) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
}

} // namespace

TEST_P(TagErrors, HeaderEntryTypeAndSeparator) {
    DmFile file(GetParam());
    file.root().addDirectory("ImageList");
    file.versionWord(0x03000000).byteOrder(0); // the version is checked before the byte order
    EXPECT_EQ(openError(file), "Unsupported version 50331648");
    file.versionWord(static_cast<std::uint32_t>(GetParam()));
    EXPECT_EQ(openError(file), "Unsupported endianess conversion");
    // The entry type byte is shown as a signed 8-bit number in hexadecimal, in nested directories too.
    for (const auto& [byte, message] : std::vector<std::pair<std::uint8_t, std::string>>{
             {0x16, "Invalid tag type 16"}, {0xFF, "Invalid tag type -1"}, {0x7F, "Invalid tag type 7f"}}) {
        DmFile nested(GetParam());
        nested.root().addDirectory("Outer").addTag("T", Tag::int32(2), EntryOptions::withTypeByte(byte));
        EXPECT_EQ(openError(nested), message);
    }
    for (const char* separator : {"%%%$", "    "}) {
        EXPECT_EQ(errorOf(Tag::int32(2).separator(separator)), "Invalid tag separator");
    }
}

TEST_P(TagErrors, NegativeOrHugeLengthsAreLengthErrors) {
    std::vector<Tag> tags = {Tag::int32(2).infoCount(-1), Tag::raw({18, -1}, utf16Bytes(u"xx")),
                             Tag::raw({20, 4, -1}, Bytes(4, 0)), Tag::raw({20, 7, -3}, Bytes(4, 0)),
                             Tag::raw({20, 15, 0, -1, 0}, Bytes(4, 0))};
    if (GetParam() == Version::Dm4) {
        tags.push_back(Tag::int32(2).infoCount(std::int64_t{1} << 60));
        tags.push_back(Tag::raw({20, 15, 0, std::int64_t{1} << 60, 0}, {}));
    }
    for (std::size_t i = 0; i < tags.size(); ++i) {
        EXPECT_EQ(lengthErrorOf(tags[i]), "cannot create std::vector larger than max_size()") << "case " << i;
    }
}

TEST_P(TagErrors, EveryTruncationFailsAndMessagesNameTheOffset) {
    DmFile file(GetParam());
    const Tag& scalar = file.root().addTag("Scalar", Tag::int32(5));
    const Tag& array = file.root().addTag("Array", Tag::array<std::int16_t>(ElementType::Int16, {1, 2, 3}));
    const Tag& text = file.root().addTag("Text", Tag::string(u"abcd"));
    Directory& nested = file.root().addDirectory("Nested");
    nested.addTag("Group",
                  Tag::group({Field::of(ElementType::Int32, 7), Field::of(ElementType::Float32, 1.0F)}));
    nested.addTag("Data", Tag::array(7, 4, Bytes(32, 0xAB)));
    nested.addTag("Table", Tag::groupArray({3, 8}, 2, Bytes(10, 1)));
    nested.addTag("Text", Tag::utf16Array(u"abc"));
    file.root().addDirectory().addTag("Empty", Tag::groupArray({}, 3, {}));
    file.root().addDirectory("ImageList");
    const Bytes bytes = file.toBytes();
    ASSERT_NO_THROW(openDm(bytes));
    for (std::uint64_t size = 0; size < bytes.size(); ++size) {
        EXPECT_THAT(openError(prefix(bytes, size)), StartsWith("DM data ended early")) << size;
    }
    // A "Data" array may be skipped past the end; the next read fails.
    DmFile skipped(GetParam());
    const Tag& data = skipped.root().addTag("Data", Tag::raw({20, 2, 1000}, Bytes(10, 0)));
    skipped.root().addTag("After", Tag::int32(1));
    skipped.root().addDirectory("ImageList");
    const unsigned w = width();
    const std::vector<std::pair<Bytes, std::string>> cases = {
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
        EXPECT_EQ(openError(input), message);
    }
    const std::string head = "DM data ended early: tag \"T\" needs ";
    EXPECT_THAT(errorOf(Tag::raw({20, 4, 1000}, Bytes(100, 0))), StartsWith(head + "2000 bytes at offset"));
    EXPECT_THAT(errorOf(Tag::raw({20, 15, 0, 2, 0, 3, 0, 7, 1000}, Bytes(100, 0))),
                StartsWith(head + "12000 bytes at offset"));
}

TEST_P(TagErrors, InfoArraysShorterThanTheirKind) {
    const std::vector<std::pair<std::vector<std::int64_t>, std::string>> cases = {
        {{}, "its kind (1 needed)"},
        {{18}, "its kind (2 needed)"},
        {{15, 0}, "its kind (3 needed)"},
        {{20, 2}, "its kind (3 needed)"},
        {{20, 15, 0}, "its kind (4 needed)"},
        {{20, 15, 0, 1, 0, 3}, "its kind (7 needed)"},
        {{15, 0, 2, 0, 3, 0}, "a group of 2 fields"},
    };
    for (const auto& [info, needed] : cases) {
        EXPECT_EQ(errorOf(Tag::raw(info, Bytes(16, 0))),
                  fmt::format("Tag \"T\" has an info array of {0} entries, too short for {1}", info.size(),
                              needed));
    }
    // The info count decides, not what follows it.
    EXPECT_EQ(errorOf(Tag::raw({20, 2, 3}, Bytes(6, 0)).infoCount(2)),
              "Tag \"T\" has an info array of 2 entries, too short for its kind (3 needed)");
}

TEST_P(TagErrors, NegativeAndOverflowingCounts) {
    if (GetParam() == Version::Dm3) {
        for (bool nested : {false, true}) {
            DmFile file(Version::Dm3);
            Directory& directory = nested ? file.root().addDirectory("Inner") : file.root();
            directory.entryCount(-2147483647 - 1);
            EXPECT_EQ(openError(file),
                      fmt::format("Tag directory \"{0}\" has a negative entry count -2147483648",
                                  nested ? "Inner" : "GATAN"));
        }
    }
    EXPECT_EQ(errorOf(Tag::raw({20, 2, -1}, Bytes(8, 0)), "Data"),
              "Tag \"Data\" has a negative element count -1");
    EXPECT_EQ(errorOf(Tag::groupArray({2, 2}, -3, Bytes(8, 0)), "Data"),
              "Tag \"Data\" has a negative group count -3");
    EXPECT_EQ(errorOf(Tag::groupArray({}, -1, {})), "Tag \"T\" has a negative group count -1");
    if (GetParam() == Version::Dm4) { // no 64-bit size holds these
        for (const char* name : {"Data", "Big"}) {
            EXPECT_EQ(
                errorOf(Tag::raw({20, 7, std::int64_t{1} << 62}, {}), name),
                fmt::format("Tag \"{0}\" declares 4611686018427387904 elements, more than a file can hold",
                            name));
        }
        EXPECT_EQ(errorOf(Tag::groupArray({7, 7}, std::int64_t{1} << 61, {})),
                  "Tag \"T\" declares 2305843009213693952 groups, more than a file can hold");
    }
    // Arrays of groups without fields are bounded per file, over all tags.
    constexpr std::int64_t bound = GatanExtractor::MaxEmptyGroupNodes;
    EXPECT_EQ(errorOf(Tag::groupArray({}, bound + 1, {})),
              fmt::format("Tag \"T\" declares {0} empty groups; at most {1} are accepted per file", bound + 1,
                          bound));
    DmFile file = fileWith(GetParam(), Tag::groupArray({}, bound / 2 + 1, {}), "First");
    file.root().addTag("Second", Tag::groupArray({}, bound / 2 + 1, {}));
    EXPECT_EQ(openError(file),
              fmt::format("Tag \"Second\" declares {0} empty groups; at most {1} are accepted "
                          "per file",
                          bound / 2 + 1, bound));
}

TEST_P(TagErrors, NestingDeeperThan256LevelsIsRefused) {
    // `levels` directories, each the only entry of the one before; by hand: too deep for the writer.
    const auto nested = [version = GetParam()](std::size_t levels) {
        const bool wide = version == Version::Dm4;
        Bytes bytes = wide ? hex("00000004 0000000000000000 00000001") : hex("00000003 00000000 00000001");
        for (std::size_t level = 1; level <= levels; ++level) {
            const Bytes count = hex(std::string(wide ? 14 : 6, '0') + (level == levels ? "00" : "01"));
            bytes.insert(bytes.end(), {0, 0});
            bytes.insert(bytes.end(), count.begin(), count.end());
            if (level != levels) {
                const Bytes head = wide ? hex("14 0000 0000000000000000") : hex("14 0000");
                bytes.insert(bytes.end(), head.begin(), head.end());
            }
        }
        return bytes;
    };
    EXPECT_EQ(openError(nested(256)), "The file has no \"ImageList\" tag directory");
    for (std::size_t levels : {257, 200000}) {
        EXPECT_EQ(openError(nested(levels)), "Tag directory \"item000\" is nested deeper than 256 levels");
    }
}

TEST_P(TagErrors, OpeningLogsTheLayoutAtInfoAndAllElseAtDebug) {
    ensurePluginLogger();
    DmFile file = fileWith(GetParam(), Tag::scalar(13, Bytes(4, 0)), "Bad");
    LogCapture log;
    EXPECT_EQ(openError(file), "Tag type 13 is not convertible");
    const std::vector<std::string> lines = log.lines();
    const std::string layout = GetParam() == Version::Dm3 ? "DM3" : "DM4";
    ASSERT_GE(lines.size(), 3U);
    EXPECT_EQ(lines[1], "init info " + layout + " dataset");
    EXPECT_EQ(lines.back(), "parseScalar debug Parsing scalar value of tag \"Bad\"");
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [](const std::string& line) { return line.find(" debug ") == std::string::npos; }),
        1);
}

INSTANTIATE_TEST_SUITE_P(Versions, TagErrors, ::testing::Values(Version::Dm3, Version::Dm4),
                         [](const auto& info) { return info.param == Version::Dm3 ? "Dm3" : "Dm4"; });
