// The DM writer lays files out byte for byte; every reader test trusts it, so its layout is checked
// here against hand-written bytes. Offsets, generated values and image entries are exercised by the
// reader tests, which fail when the writer puts anything elsewhere.

#include "dmwriter/DmWriter.h"

#include "Hex.h"

#include <cstdint>
#include <gtest/gtest.h>
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
