// Tag values: every tag data type code as a scalar, an array element and a group field, the codes
// that are refused, and the UTF-16 text of strings and of arrays of code 4.

#include "GatanTestSupport.h"
#include "Hex.h"
#include "dmwriter/DmWriter.h"

#include <cstdint>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <vector>

using namespace dmwriter;
using namespace testsupport;
using velmora::ValueType;

namespace {

class TagValues : public ::testing::TestWithParam<Version> {
protected:
    /// A file whose root holds `tag` as "Value", followed by the int32 "After" = 77 that shows where
    /// the value ended.
    DmFile fileWith(Tag tag) const {
        DmFile file(GetParam());
        file.root().addTag("Value", std::move(tag));
        file.root().addTag("After", Tag::int32(77));
        addEmptyImageList(file);
        return file;
    }

    /// Opens the file and checks "After"; returns "Value".
    NodePtr valueOf(DmFile& file) const {
        const NodePtr gatan = gatanNode(*openDm(file));
        EXPECT_TRUE(holdsScalar(nodeAt(gatan, "After"), ValueType::Int32, 77));
        return nodeAt(gatan, "Value");
    }
    NodePtr valueOf(Tag tag) const {
        DmFile file = fileWith(std::move(tag));
        return valueOf(file);
    }

    std::string errorOf(Tag tag) const {
        DmFile file = fileWith(std::move(tag));
        return openError<velmora::Error>(file);
    }
};

std::string versionName(const ::testing::TestParamInfo<Version>& info) {
    return info.param == Version::Dm3 ? "Dm3" : "Dm4";
}

template <typename T> Bytes bytesOfAll(std::initializer_list<T> values) {
    return littleEndian(values);
}

} // namespace

TEST_P(TagValues, ScalarOfEveryCodeHasItsTypeAndWidth) {
    // Codes 10 and 12 are read as signed like 9 and 11; code 8 keeps its byte as it is.
    EXPECT_TRUE(holdsScalar(valueOf(Tag::scalar(2, hex("FEFF"))), ValueType::Int16, std::int16_t{-2}));
    EXPECT_TRUE(holdsScalar(valueOf(Tag::scalar(3, hex("FDFFFFFF"))), ValueType::Int32, -3));
    EXPECT_TRUE(holdsScalar(valueOf(Tag::scalar(4, hex("FFFF"))), ValueType::UInt16, std::uint16_t{65535}));
    EXPECT_TRUE(holdsScalar(valueOf(Tag::scalar(5, hex("FFFFFFFF"))), ValueType::UInt32, 4294967295U));
    EXPECT_TRUE(holdsScalar(valueOf(Tag::scalar(6, hex("0000C03F"))), ValueType::Float32, 1.5F));
    EXPECT_TRUE(holdsScalar(valueOf(Tag::scalar(7, hex("00000000000002C0"))), ValueType::Float64, -2.25));
    EXPECT_TRUE(holdsScalar(valueOf(Tag::scalar(8, hex("02"))), ValueType::UInt8, std::uint8_t{2}));
    EXPECT_TRUE(holdsScalar(valueOf(Tag::scalar(9, hex("FF"))), ValueType::Int8, std::int8_t{-1}));
    EXPECT_TRUE(holdsScalar(valueOf(Tag::scalar(10, hex("FF"))), ValueType::Int8, std::int8_t{-1}));
    EXPECT_TRUE(
        holdsScalar(valueOf(Tag::scalar(11, hex("FEFFFFFFFFFFFFFF"))), ValueType::Int64, std::int64_t{-2}));
    EXPECT_TRUE(
        holdsScalar(valueOf(Tag::scalar(12, hex("FFFFFFFFFFFFFFFF"))), ValueType::Int64, std::int64_t{-1}));
    EXPECT_TRUE(holdsScalar(valueOf(Tag::scalar(12, hex("0100000000000080"))), ValueType::Int64,
                            std::numeric_limits<std::int64_t>::min() + 1));
}

TEST_P(TagValues, ScalarInfoEntriesBeyondTheCodeAreIgnored) {
    EXPECT_TRUE(holdsScalar(valueOf(Tag::raw({3, 99, -1, 18}, littleEndian(6))), ValueType::Int32, 6));
}

TEST_P(TagValues, ArrayOfEveryCodeHoldsAllItsElements) {
    EXPECT_TRUE(holds<std::int16_t>(valueOf(Tag::array(2, 3, bytesOfAll<std::int16_t>({1, -2, 300}))),
                                    ValueType::Int16, {1, -2, 300}));
    EXPECT_TRUE(holds<std::int32_t>(valueOf(Tag::array(3, 2, bytesOfAll<std::int32_t>({-70000, 5}))),
                                    ValueType::Int32, {-70000, 5}));
    EXPECT_TRUE(holds<std::uint32_t>(valueOf(Tag::array(5, 2, bytesOfAll<std::uint32_t>({4000000000U, 1}))),
                                     ValueType::UInt32, {4000000000U, 1}));
    EXPECT_TRUE(holds<float>(valueOf(Tag::array(6, 3, bytesOfAll<float>({0.25F, -0.0F, 1e30F}))),
                             ValueType::Float32, {0.25F, -0.0F, 1e30F}));
    EXPECT_TRUE(holds<double>(valueOf(Tag::array(7, 2, bytesOfAll<double>({1e-300, -3.5}))),
                              ValueType::Float64, {1e-300, -3.5}));
    EXPECT_TRUE(
        holds<std::uint8_t>(valueOf(Tag::array(8, 4, hex("00 01 02 FF"))), ValueType::UInt8, {0, 1, 2, 255}));
    EXPECT_TRUE(
        holds<std::int8_t>(valueOf(Tag::array(9, 3, hex("7F 80 FF"))), ValueType::Int8, {127, -128, -1}));
    EXPECT_TRUE(
        holds<std::int8_t>(valueOf(Tag::array(10, 3, hex("7F 80 FF"))), ValueType::Int8, {127, -128, -1}));
    EXPECT_TRUE(holds<std::int64_t>(valueOf(Tag::array(11, 2, bytesOfAll<std::int64_t>({-5, 1LL << 40}))),
                                    ValueType::Int64, {-5, std::int64_t{1} << 40}));
    EXPECT_TRUE(holds<std::int64_t>(valueOf(Tag::array(12, 2, hex("FFFFFFFFFFFFFFFF 0000000000000080"))),
                                    ValueType::Int64, {-1, std::numeric_limits<std::int64_t>::min()}));
}

TEST_P(TagValues, ArrayWithoutElementsHoldsAnEmptyValue) {
    const NodePtr node = valueOf(Tag::array(7, 0, {}));
    EXPECT_TRUE(holds<double>(node, ValueType::Float64, {}));
    EXPECT_EQ(node->value()->data(), nullptr);
    EXPECT_EQ(node->childCount(), 0U);
}

TEST_P(TagValues, GroupFieldsOfEveryCode) {
    const NodePtr group = valueOf(Tag::group({
        Field{2, hex("FEFF")},
        Field{3, hex("FDFFFFFF")},
        Field{4, hex("FFFF")},
        Field{5, hex("FFFFFFFF")},
        Field{6, hex("0000C03F")},
        Field{7, hex("00000000000002C0")},
        Field{8, hex("02")},
        Field{9, hex("FF")},
        Field{10, hex("FE")},
        Field{11, hex("FEFFFFFFFFFFFFFF")},
        Field{12, hex("FFFFFFFFFFFFFFFF")},
    }));
    EXPECT_TRUE(hasNoValue(group));
    EXPECT_EQ(childNames(group),
              (std::vector<std::string>{"Field0", "Field1", "Field2", "Field3", "Field4", "Field5", "Field6",
                                        "Field7", "Field8", "Field9", "Field10"}));
    EXPECT_TRUE(holdsScalar(group->childAt(0), ValueType::Int16, std::int16_t{-2}));
    EXPECT_TRUE(holdsScalar(group->childAt(1), ValueType::Int32, -3));
    EXPECT_TRUE(holdsScalar(group->childAt(2), ValueType::UInt16, std::uint16_t{65535}));
    EXPECT_TRUE(holdsScalar(group->childAt(3), ValueType::UInt32, 4294967295U));
    EXPECT_TRUE(holdsScalar(group->childAt(4), ValueType::Float32, 1.5F));
    EXPECT_TRUE(holdsScalar(group->childAt(5), ValueType::Float64, -2.25));
    EXPECT_TRUE(holdsScalar(group->childAt(6), ValueType::UInt8, std::uint8_t{2}));
    EXPECT_TRUE(holdsScalar(group->childAt(7), ValueType::Int8, std::int8_t{-1}));
    EXPECT_TRUE(holdsScalar(group->childAt(8), ValueType::Int8, std::int8_t{-2}));
    EXPECT_TRUE(holdsScalar(group->childAt(9), ValueType::Int64, std::int64_t{-2}));
    EXPECT_TRUE(holdsScalar(group->childAt(10), ValueType::Int64, std::int64_t{-1}));
    for (const auto& field : *group) {
        EXPECT_EQ(field->childCount(), 0U);
    }
}

TEST_P(TagValues, GroupNameLengthEntriesChangeNothing) {
    const NodePtr group =
        valueOf(Tag::raw({15, 99, 2, 77, 3, -5, 6}, concat({littleEndian(-9), littleEndian(0.5F)})));
    EXPECT_EQ(childNames(group), (std::vector<std::string>{"Field0", "Field1"}));
    EXPECT_TRUE(holdsScalar(group->childAt(0), ValueType::Int32, -9));
    EXPECT_TRUE(holdsScalar(group->childAt(1), ValueType::Float32, 0.5F));
}

TEST_P(TagValues, GroupWithoutFieldsConsumesNothing) {
    for (std::int64_t fieldCount : {0, -1}) {
        const NodePtr group = valueOf(Tag::raw({15, 0, fieldCount}, {}));
        EXPECT_TRUE(hasNoValue(group)) << fieldCount;
        EXPECT_EQ(group->childCount(), 0U) << fieldCount;
    }
}

TEST_P(TagValues, CodesOutsideTheTableAreNotConvertible) {
    // As a scalar code (15, 18 and 20 there select other kinds).
    for (std::int64_t code : {0, 1, 13, 14, 16, 17, 19, 21, 255, -1, -20}) {
        EXPECT_EQ(errorOf(Tag::scalar(code, Bytes(8, 0))),
                  "Tag type " + std::to_string(code) + " is not convertible")
            << code;
    }
    // As an array element code (15 there selects an array of groups); the name "Data" does not
    // save the array either.
    for (std::int64_t code : {0, 1, 13, 18, 20, -1}) {
        EXPECT_EQ(errorOf(Tag::array(code, 1, Bytes(8, 0))),
                  "Tag type " + std::to_string(code) + " is not convertible")
            << code;
        DmFile file(GetParam());
        file.root().addTag("Data", Tag::array(code, 1, Bytes(8, 0)));
        addEmptyImageList(file);
        EXPECT_EQ(openError<velmora::Error>(file), "Tag type " + std::to_string(code) + " is not convertible")
            << code;
    }
    // As a group field and as a field of an array of groups.
    for (std::int64_t code : {0, 1, 13, 15, 18, 20, -1}) {
        const std::string expected = "Tag type " + std::to_string(code) + " is not convertible";
        EXPECT_EQ(errorOf(Tag::group({Field::of(ElementType::Int32, 1), Field{code, Bytes(8, 0)}})), expected)
            << code;
        EXPECT_EQ(errorOf(Tag::groupArray({3, code}, 1, Bytes(16, 0))), expected) << code;
    }
}

TEST(TagValuesDm4, WideCodesAreNotTruncated) {
    // A 64-bit info entry whose low 32 bits read 3 is still not a valid code.
    DmFile file(Version::Dm4);
    file.root().addTag("Value", Tag::scalar((std::int64_t{1} << 32) + 3, littleEndian(5)));
    addEmptyImageList(file);
    EXPECT_EQ(openError<velmora::Error>(file), "Tag type 4294967299 is not convertible");

    DmFile arrayFile(Version::Dm4);
    arrayFile.root().addTag("Value",
                            Tag::array((std::int64_t{1} << 32) + 2, 1, littleEndian(std::int16_t{5})));
    addEmptyImageList(arrayFile);
    EXPECT_EQ(openError<velmora::Error>(arrayFile), "Tag type 4294967298 is not convertible");
}

TEST(TagValuesDm3, NegativeThirtyTwoBitCodesKeepTheirSign) {
    DmFile file(Version::Dm3);
    file.root().addTag("Value", Tag::scalar(-2147483645, littleEndian(5))); // 0x80000003
    addEmptyImageList(file);
    EXPECT_EQ(openError<velmora::Error>(file), "Tag type -2147483645 is not convertible");
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
        EXPECT_TRUE(holdsText(valueOf(Tag::string(c.units)), c.utf8)) << toHex(utf16Bytes(c.units));
        EXPECT_TRUE(holdsText(valueOf(Tag::utf16Array(c.units)), c.utf8)) << toHex(utf16Bytes(c.units));
    }
}

TEST_P(TagValues, StringInfoEntriesBeyondTheLengthAreIgnored) {
    EXPECT_TRUE(holdsText(valueOf(Tag::raw({18, 2, 7, -1}, utf16Bytes(u"ok"))), "ok"));
    EXPECT_TRUE(holdsText(valueOf(Tag::raw({20, 4, 2, 15}, utf16Bytes(u"ok"))), "ok"));
}

INSTANTIATE_TEST_SUITE_P(Versions, TagValues, ::testing::Values(Version::Dm3, Version::Dm4), versionName);
