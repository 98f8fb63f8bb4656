// The tag tree on both layouts: every line of tags.txt (values of every code, UTF-16 text, groups,
// refusals of codes, info arrays and counts, the header checks, negative entry counts); the walk (names,
// numbering of unnamed entries, fields read but not used); "Data" arrays skipped leaving their offset; data
// that ends early with its offset; nesting without end.

#include "CountingStream.h"
#include "GatanTestSupport.h"

#include <cstdint>
#include <fmt/format.h>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

using namespace dmwriter;
using namespace testsupport;
using Names = std::vector<std::string>;

namespace {

/// Control characters as \xNN.
std::string escaped(const std::string& raw) {
    std::string text;
    for (char c : raw) {
        text += static_cast<unsigned char>(c) < 0x20 ? fmt::format("\\x{:02x}", int(c)) : std::string(1, c);
    }
    return text;
}

/// The value of `node` as valueOf gives it, then its children in braces; control characters escaped.
std::string describe(const NodePtr& node) {
    std::string text = valueOf(node);
    for (std::size_t i = 0; i < node->childCount(); ++i) {
        text += (i == 0 ? " {" : ", ") + node->childAt(i)->name() + "=" + describe(node->childAt(i));
    }
    return escaped(node->childCount() == 0 ? text : text + "}");
}

/// What `open()` gives for the tag `name` (for the whole "GATAN" directory without a name), in the
/// terms of tags.txt.
template <typename Open> std::string outcomeOf(Open&& open, const std::string& name) {
    try {
        const NodePtr gatan = nodeAt(open()->metadata(), "GATAN");
        if (name.empty()) {
            return describe(gatan);
        }
        EXPECT_EQ(valueOf(nodeAt(gatan, "After")), "int32:4d 00 00 00") << name;
        return describe(nodeAt(gatan, name));
    } catch (const velmora::Error& error) {
        return std::string("error: ") + error.what();
    } catch (const std::length_error& error) {
        return std::string("length: ") + error.what();
    }
}

/// What opening `bytes` gives for its tag `name`. A file, which the reader reads through its
/// read-ahead window, without debug messages must give what a stream read as the walk asks gives
/// with them.
std::string outcome(const Bytes& bytes, const std::string& name) {
    const std::string fromStream = outcomeOf([&] { return openDm(bytes); }, name);
    const TemporaryFile temp(bytes, ".dm4");
    const DebugMessagesOff quiet;
    EXPECT_EQ(outcomeOf([&] { return openPath(temp.path()); }, name), fromStream) << "from a file: " << name;
    return fromStream;
}

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(' ');
    return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(' ') - first + 1);
}

class TagTree : public ::testing::TestWithParam<Version> {
protected:
    /// The value of a directory: its entry count, 32-bit in DM3 and 64-bit in DM4.
    std::string directory(std::int64_t count) const {
        return GetParam() == Version::Dm3 ? "int32:" + toHex(littleEndian(static_cast<std::int32_t>(count)))
                                          : "int64:" + toHex(littleEndian(count));
    }
};

Bytes prefix(const Bytes& bytes, std::uint64_t size) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
}

} // namespace

TEST(TagTable, EveryLineOpensAsWritten) {
    std::ifstream table(std::string(TRESTAN_TEST_SOURCE_DIR) + "/tests/gatan/tags.txt");
    ASSERT_TRUE(table.is_open());
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::vector<std::string> fields;
        std::istringstream columns(line);
        for (std::string field; std::getline(columns, field, '|');) {
            fields.push_back(trimmed(field));
        }
        ASSERT_EQ(fields.size(), 5U) << line;
        if (fields[0] == "file") {
            EXPECT_EQ(outcome(hex(fields[3]), ""), fields[4]) << line;
            continue;
        }
        const std::size_t colon = fields[2].find(':');
        std::istringstream infoText(colon == std::string::npos ? fields[2] : fields[2].substr(colon + 1));
        std::vector<std::int64_t> info;
        for (std::int64_t entry = 0; infoText >> entry;) {
            info.push_back(entry);
        }
        Tag tag = Tag::raw(info, hex(fields[3]));
        if (colon != std::string::npos) {
            tag.infoCount(std::stoll(fields[2].substr(0, colon)));
        }
        for (char layout : fields[0]) {
            const Bytes bytes =
                fileWith(layout == '3' ? Version::Dm3 : Version::Dm4, tag, fields[1]).toBytes();
            EXPECT_EQ(outcome(bytes, fields[1]), fields[4]) << "DM" << layout << ": " << line;
        }
    }
}

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
    EXPECT_EQ(rootNode->childCount(), 1U);
    EXPECT_EQ(valueOf(rootNode), "none");
    const NodePtr gatan = nodeAt(extractor->metadata(), "GATAN");
    EXPECT_EQ(valueOf(gatan), directory(10));
    const std::string entries[] = {"item000=int32:00 00 00 00",
                                   "a\\x00b=int32:01 00 00 00",
                                   "item001=" + directory(2) +
                                       " {item000=int32:02 00 00 00, item001=int32:03 00 00 00}",
                                   "item000=int32:04 00 00 00",
                                   "item002=int32:05 00 00 00",
                                   "\xFF\xFE=int32:06 00 00 00",
                                   "A=int32:07 00 00 00",
                                   "A=int32:08 00 00 00",
                                   "item003=" + directory(1001),
                                   "ImageList=" + directory(0)};
    ASSERT_EQ(gatan->childCount(), 10U);
    for (std::size_t i = 0; i < 10; ++i) {
        const NodePtr child = gatan->childAt(i);
        EXPECT_EQ(escaped(child->name()) + "=" + (i == 8 ? valueOf(child) : describe(child)), entries[i]);
    }
    const NodePtr numbered = gatan->childAt(8);
    EXPECT_EQ(numbered->childAt(1000)->name() + "=" + valueOf(numbered->childAt(1000)),
              "item1000=int32:e8 03 00 00");
    EXPECT_EQ(extractor->frameCount(), 0U);
}

TEST_P(TagTree, FilesGiveTheTreeOfAStreamWhereverEntriesCrossTheReadAhead) {
    // Entries of every kind with names of 1 to 37 bytes, some unnamed, fill a file of a few hundred
    // KiB, so the read-ahead window's refills fall inside every part of an entry.
    DmFile file(GetParam());
    Directory& tags = file.root().addDirectory("Tags");
    const std::vector<std::int64_t> pair{code(ElementType::Int16), code(ElementType::Float64)};
    Bytes groups;
    for (const Bytes& element : {littleEndian(std::int16_t{-2}), littleEndian(1.5),
                                 littleEndian(std::int16_t{3}), littleEndian(-4.0)}) {
        groups.insert(groups.end(), element.begin(), element.end());
    }
    for (int i = 0; i < 6000; ++i) {
        // Scalars of every element size, and the other kinds.
        Tag tag = Tag::uint64(0xFEDCBA9876543210U + static_cast<std::uint64_t>(i));
        switch (i % 8) {
        case 0:
            tag = Tag::uint16(static_cast<std::uint16_t>(0x8001 + i));
            break;
        case 7:
            tag = i % 16 == 7 ? Tag::int8(static_cast<std::int8_t>(-i)) : Tag::int32(-i);
            break;
        case 1:
            tag = Tag::float64(0.5 * i);
            break;
        case 2:
            tag = Tag::utf16Array(i % 16 == 2 ? u"café" : u"nm");
            break;
        case 3:
            tag = Tag::group({Field::of(ElementType::UInt8, std::uint8_t{7}),
                              Field::of(ElementType::Int64, std::int64_t{i})});
            break;
        case 4:
            tag = Tag::groupArray(pair, 2, groups);
            break;
        case 5:
            tag = Tag::array(ElementType::UInt16, {std::uint16_t{1}, std::uint16_t{2}, std::uint16_t{3}});
            break;
        default:
            tag = Tag::string(u"text");
            break;
        }
        if (i % 11 == 0) {
            tags.addTag(std::move(tag));
        } else {
            tags.addTag(std::string(static_cast<std::size_t>(1 + i % 37), static_cast<char>('a' + i % 26)),
                        std::move(tag));
        }
    }
    file.root().addDirectory("ImageList");
    const Bytes bytes = file.toBytes();
    ASSERT_GT(bytes.size(), std::size_t{256} << 10);
    const TemporaryFile temp(bytes, ".dm4");
    const std::string fromStream = describe(openDm(bytes)->metadata());
    EXPECT_THAT(fromStream, ::testing::HasSubstr("caf\xc3\xa9"));
    const DebugMessagesOff quiet;
    EXPECT_EQ(describe(openPath(temp.path())->metadata()), fromStream);
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
    const NodePtr dir = nodeAt(openSource(counting)->metadata(), "GATAN/A");
    const auto offset = [](const Tag& tag) {
        return "uint64:" + toHex(littleEndian(static_cast<std::uint64_t>(tag.valueOffset())));
    };
    EXPECT_EQ(describe(dir).substr(valueOf(dir).size()),
              " {DataOffset=" + offset(first) + ", Next=int8:01, DataOffset=" + offset(second) +
                  ", DataOffset=" + offset(third) +
                  ", data=int16:ff ff, Data2=int16:ff ff,  Data=int16:ff ff, DataOffset=int16:ff ff, "
                  "Data\\x00=int16:ff ff}");
    EXPECT_LT(counting->bytesDelivered(), bytes.size() - (1 << 20)) << "the pixel bytes were read";
    EXPECT_LT(counting->largestRequest(), 4096U);
}

TEST_P(TagTree, EveryTruncationFailsAndMessagesNameTheOffset) {
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
        EXPECT_THAT(openError(prefix(bytes, size)), ::testing::StartsWith("DM data ended early")) << size;
    }
    // A "Data" array may be skipped past the end; the next read fails.
    DmFile skipped(GetParam());
    const Tag& data = skipped.root().addTag("Data", Tag::raw({20, 2, 1000}, Bytes(10, 0)));
    skipped.root().addTag("After", Tag::int32(1));
    skipped.root().addDirectory("ImageList");
    const unsigned w = GetParam() == Version::Dm4 ? 8 : 4;
    DmFile large = fileWith(GetParam(), Tag::raw({20, 15, 0, 2, 0, 3, 0, 7, 1000}, Bytes(100, 0)));
    const Bytes largeBytes = large.toBytes();
    const std::uint64_t tableAt = large.root().tag("T").valueOffset();
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
        {largeBytes,
         fmt::format("DM data ended early: tag \"T\" needs 12000 bytes at offset {0}, but only {1} remain",
                     tableAt, largeBytes.size() - tableAt)},
    };
    for (const auto& [input, message] : cases) {
        EXPECT_EQ(openError(input), message);
    }
}

TEST_P(TagTree, NestingDeeperThan256LevelsIsRefused) {
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

INSTANTIATE_TEST_SUITE_P(Versions, TagTree, ::testing::Values(Version::Dm3, Version::Dm4),
                         [](const auto& info) { return info.param == Version::Dm3 ? "Dm3" : "Dm4"; });
