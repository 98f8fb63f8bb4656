// The failures of the header checks and of the tag walk, each with its exact message and exception
// type: velmora::Error for malformed structure, std::length_error where a negative count reaches a
// container.

#include "GatanTestSupport.h"
#include "Hex.h"
#include "dmwriter/DmWriter.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>

using namespace dmwriter;
using namespace testsupport;

namespace {

class TagErrors : public ::testing::TestWithParam<Version> {
protected:
    /// A good entry, then `tag` as "Broken", then an empty "ImageList".
    DmFile fileWith(Tag tag, EntryOptions options = {}) const {
        DmFile file(GetParam());
        file.root().addTag("Good", Tag::int32(1));
        file.root().addTag("Broken", std::move(tag), options);
        addEmptyImageList(file);
        return file;
    }
};

std::string versionName(const ::testing::TestParamInfo<Version>& info) {
    return info.param == Version::Dm3 ? "Dm3" : "Dm4";
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

    DmFile bigEndian(GetParam());
    addEmptyImageList(bigEndian);
    bigEndian.byteOrder(0);
    EXPECT_EQ(openError<velmora::Error>(bigEndian), "Unsupported endianess conversion");
    bigEndian.byteOrder(0x01000000);
    EXPECT_EQ(openError<velmora::Error>(bigEndian), "Unsupported endianess conversion");
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
    EXPECT_NE(openError<velmora::Error>(swapped), "no exception");
}

TEST_P(TagErrors, TagSeparatorMustBeFourPercentSigns) {
    for (const char* separator : {"%%%$", "$%%%", "    ", "%%%\0"}) {
        DmFile file = fileWith(Tag::int32(2).separator(std::string_view(separator, 4)));
        EXPECT_EQ(openError<velmora::Error>(file), "Invalid tag separator") << separator;
    }
}

TEST_P(TagErrors, NegativeInfoCountIsALengthError) {
    for (std::int64_t count : {-1, -2147483647 - 1}) {
        DmFile file = fileWith(Tag::int32(2).infoCount(count));
        EXPECT_EQ(openError<std::length_error>(file), s_lengthError) << count;
    }
}

TEST(TagErrorsDm4, InfoCountOfTwoToTheSixtyIsALengthError) {
    for (std::int64_t count : {std::int64_t{1} << 60, std::int64_t{1} << 62, std::int64_t{-1}}) {
        DmFile file(Version::Dm4);
        file.root().addTag("Broken", Tag::int32(2).infoCount(count));
        addEmptyImageList(file);
        EXPECT_EQ(openError<std::length_error>(file), s_lengthError) << count;
    }
}

TEST_P(TagErrors, NegativeLengthsOfStringsAndArraysAreLengthErrors) {
    // String of -1 units, array of -1 elements, text array (code 4) of -1 units, array of groups of -1
    // fields: each fails before reading anything.
    const std::vector<Tag> tags = {
        Tag::raw({18, -1}, utf16Bytes(u"xx")), Tag::raw({18, -2147483647 - 1}, {}),
        Tag::raw({20, 2, -1}, Bytes(4, 0)),    Tag::raw({20, 4, -1}, Bytes(4, 0)),
        Tag::raw({20, 7, -3}, Bytes(4, 0)),    Tag::raw({20, 15, 0, -1, 0}, Bytes(4, 0)),
    };
    for (const Tag& tag : tags) {
        DmFile file = fileWith(tag);
        EXPECT_EQ(openError<std::length_error>(file), s_lengthError) << ::testing::PrintToString(tag.info());
    }
}

TEST(TagErrorsDm4, ArrayOfGroupsWithTwoToTheSixtyFieldsIsALengthError) {
    DmFile file(Version::Dm4);
    file.root().addTag("Broken", Tag::raw({20, 15, 0, std::int64_t{1} << 60, 0}, {}));
    addEmptyImageList(file);
    EXPECT_EQ(openError<std::length_error>(file), s_lengthError);
}

INSTANTIATE_TEST_SUITE_P(Versions, TagErrors, ::testing::Values(Version::Dm3, Version::Dm4), versionName);
