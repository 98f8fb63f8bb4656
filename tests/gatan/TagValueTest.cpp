// Tag values: every tag data type code as a scalar, an array and a group field, the codes that are
// refused, and the UTF-16 text of strings and of arrays of code 4.

#include "GatanTestSupport.h"
#include "Hex.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace dmwriter;
using namespace testsupport;
using velmora::ValueType;

namespace {

class TagValues : public TagTest {};

/// One element of every code: the value type it gives and three elements' bytes. Codes 10 and 12
/// are read as signed like 9 and 11; code 8 keeps its byte as it is.
struct CodeCase {
    std::int64_t code;
    ValueType type;
    Bytes elements; ///< three elements, little-endian
};

const std::vector<CodeCase> s_codes = {
    {2, ValueType::Int16, hex("FEFF 0100 2C01")},
    {3, ValueType::Int32, hex("FDFFFFFF 90EEFEFF 05000000")},
    {4, ValueType::UInt16, hex("FFFF 0000 0180")},
    {5, ValueType::UInt32, hex("FFFFFFFF 0028 6BEE 01000000")},
    {6, ValueType::Float32, hex("0000C03F 00000080 CAF2 4971")},
    {7, ValueType::Float64, hex("00000000000002C0 000000000000F03F 0000000000000080")},
    {8, ValueType::UInt8, hex("02 00 FF")},
    {9, ValueType::Int8, hex("FF 7F 80")},
    {10, ValueType::Int8, hex("FE 7F 80")},
    {11, ValueType::Int64, hex("FEFFFFFFFFFFFFFF 0000000000010000 0000000000000080")},
    {12, ValueType::Int64, hex("FFFFFFFFFFFFFFFF 0100000000000080 FFFFFFFFFFFFFF7F")},
};

Bytes firstElement(const CodeCase& c) {
    return Bytes(c.elements.begin(), c.elements.begin() + static_cast<std::ptrdiff_t>(c.elements.size() / 3));
}

} // namespace

TEST_P(TagValues, EveryCodeAsScalarArrayAndGroupField) {
    std::vector<Field> fields;
    for (const CodeCase& c : s_codes) {
        EXPECT_TRUE(holdsBytes(tagRead(Tag::scalar(c.code, firstElement(c))), c.type, firstElement(c)))
            << c.code;
        // An array of code 4 is text; its elements are checked with the strings below.
        if (c.code != 4) {
            const NodePtr array = tagRead(Tag::array(c.code, 3, c.elements));
            EXPECT_TRUE(holdsBytes(array, c.type, c.elements)) << c.code;
            EXPECT_EQ(array->childCount(), 0U);
        }
        fields.push_back(Field{c.code, firstElement(c)});
    }
    const NodePtr group = tagRead(Tag::group(fields));
    EXPECT_TRUE(hasNoValue(group));
    ASSERT_EQ(group->childCount(), s_codes.size());
    for (std::size_t i = 0; i < s_codes.size(); ++i) {
        EXPECT_EQ(group->childAt(i)->name(), "Field" + std::to_string(i));
        EXPECT_TRUE(holdsBytes(group->childAt(i), s_codes[i].type, firstElement(s_codes[i])))
            << s_codes[i].code;
        EXPECT_EQ(group->childAt(i)->childCount(), 0U);
    }
}

TEST_P(TagValues, EntriesTheKindDoesNotUseAreIgnored) {
    // Info entries beyond a scalar's code, a string's or array's length; a group's name lengths.
    EXPECT_TRUE(holdsScalar(tagRead(Tag::raw({3, 99, -1, 18}, littleEndian(6))), ValueType::Int32, 6));
    EXPECT_TRUE(holdsText(tagRead(Tag::raw({18, 2, 7, -1}, utf16Bytes(u"ok"))), "ok"));
    EXPECT_TRUE(holdsText(tagRead(Tag::raw({20, 4, 2, 15}, utf16Bytes(u"ok"))), "ok"));
    const NodePtr group =
        tagRead(Tag::raw({15, 99, 2, 77, 3, -5, 6}, concat({littleEndian(-9), littleEndian(0.5F)})));
    EXPECT_EQ(childNames(group), (std::vector<std::string>{"Field0", "Field1"}));
    EXPECT_TRUE(holdsScalar(group->childAt(0), ValueType::Int32, -9));
    EXPECT_TRUE(holdsScalar(group->childAt(1), ValueType::Float32, 0.5F));
}

TEST_P(TagValues, EmptyArraysAndGroupsConsumeNothing) {
    const NodePtr array = tagRead(Tag::array(7, 0, {}));
    EXPECT_TRUE(holds<double>(array, ValueType::Float64, {}));
    EXPECT_EQ(array->value()->data(), nullptr);
    for (std::int64_t fieldCount : {0, -1}) {
        const NodePtr group = tagRead(Tag::raw({15, 0, fieldCount}, {}));
        EXPECT_TRUE(hasNoValue(group)) << fieldCount;
        EXPECT_EQ(group->childCount(), 0U) << fieldCount;
    }
}

TEST_P(TagValues, CodesOutsideTheTableAreNotConvertible) {
    const auto message = [](std::int64_t code) {
        return "Tag type " + std::to_string(code) + " is not convertible";
    };
    // As a scalar code (15, 18 and 20 there select other kinds).
    for (std::int64_t code : {0, 1, 13, 14, 16, 17, 19, 21, 255, -1, -20}) {
        EXPECT_EQ(errorOf(Tag::scalar(code, Bytes(8, 0))), message(code));
    }
    // As an array element code (15 there selects an array of groups); the name "Data" does not
    // save the array either.
    for (std::int64_t code : {0, 1, 13, 18, 20, -1}) {
        EXPECT_EQ(errorOf(Tag::array(code, 1, Bytes(8, 0))), message(code));
        DmFile file(GetParam());
        file.root().addTag("Data", Tag::array(code, 1, Bytes(8, 0)));
        addEmptyImageList(file);
        EXPECT_EQ(openError<velmora::Error>(file), message(code));
    }
    // As a group field and as a field of an array of groups.
    for (std::int64_t code : {0, 1, 13, 15, 18, 20, -1}) {
        EXPECT_EQ(errorOf(Tag::group({Field::of(ElementType::Int32, 1), Field{code, Bytes(8, 0)}})),
                  message(code));
        EXPECT_EQ(errorOf(Tag::groupArray({3, code}, 1, Bytes(16, 0))), message(code));
    }
    // Codes are never truncated to 32 bits (DM4) nor lose their sign (DM3, 0x80000003).
    const std::int64_t wide = GetParam() == Version::Dm4 ? (std::int64_t{1} << 32) + 3 : -2147483645;
    EXPECT_EQ(errorOf(Tag::scalar(wide, littleEndian(5))), message(wide));
    EXPECT_EQ(errorOf(Tag::array(wide - 1, 1, littleEndian(std::int16_t{5}))), message(wide - 1));
}

TEST_P(TagValues, Utf16TextOfStringsAndOfCode4Arrays) {
    struct Case {
        std::u16string units;
        std::string utf8;
    };
    const std::vector<Case> cases = {
        {u"Hi!", "Hi!"},
        {u"", ""},
        {std::u16string(u"A\0B", 3), std::string("A\0B", 3)}, // a zero unit neither ends nor is dropped
        {u"\u00E9", "\xC3\xA9"},
        {u"\u20AC", "\xE2\x82\xAC"},
        {u"\U00010000", "\xF0\x90\x80\x80"},   // D800 DC00
        {u"\U0001F600x", "\xF0\x9F\x98\x80x"}, // D83D DE00
        {{char16_t(0xD800), u'A'}, ""},        // high surrogate and the unit after it are dropped
        {{char16_t(0xD800), u'A', u'B'}, "B"},
        {{char16_t(0xDC00)}, ""},        // lone low surrogate
        {{u'A', char16_t(0xD800)}, "A"}, // high surrogate at the end
        {{u'x', char16_t(0xDFFF), u'y'}, "xy"},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(holdsText(tagRead(Tag::string(c.units)), c.utf8)) << toHex(utf16Bytes(c.units));
        EXPECT_TRUE(holdsText(tagRead(Tag::utf16Array(c.units)), c.utf8)) << toHex(utf16Bytes(c.units));
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, TagValues, ::testing::Values(Version::Dm3, Version::Dm4), versionName);
