// `trestan tree`: the metadata tree of files made with our DM writer, as JSON and for people.

#include "CliTestSupport.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace trestan::clitest {
namespace {

using dmwriter::ElementType;
using dmwriter::Tag;

// A file whose tags exercise every rule of the JSON shape.
std::string writeTagFile(const ScratchDirectory& scratch) {
    const std::string path = scratch.file("tags.dm4");
    dmwriter::DmFile file(dmwriter::Version::Dm4);
    file.dmFraming();
    dmwriter::Directory& root = file.root();
    root.flags(1, 0);
    root.addDirectory("ImageList");
    dmwriter::Directory& values = root.addDirectory("Values");
    values.addTag("Float32", Tag::float32(0.001F));
    values.addTag("Float64", Tag::float64(0.1));
    values.addTag("Tiny", Tag::float64(1.5e-300));
    values.addTag("NotANumber", Tag::float32(std::numeric_limits<float>::quiet_NaN()));
    values.addTag("Infinite", Tag::float64(-std::numeric_limits<double>::infinity()));
    values.addTag("Int64", Tag::int64(-9007199254740993LL));
    values.addTag("Pair", Tag::array(ElementType::Int16, std::initializer_list<std::int16_t>{-3, 4}));
    values.addTag("Empty", Tag::array(dmwriter::code(ElementType::UInt32), 0, {}));
    // (Arrays of unsigned 16-bit integers are text in DM files, so the long array is of int32.)
    std::vector<std::int32_t> ramp(1000);
    for (std::size_t i = 0; i < ramp.size(); ++i) {
        ramp[i] = static_cast<std::int32_t>(i);
    }
    values.addTag("Ramp", Tag::array(ElementType::Int32, std::span<const std::int32_t>(ramp)));
    std::vector<std::int16_t> pairs(20);
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        pairs[i] = static_cast<std::int16_t>(i);
    }
    values.addTag("Pairs",
                  Tag::groupArray({dmwriter::code(ElementType::Int16), dmwriter::code(ElementType::Int16)},
                                  10, dmwriter::littleEndian(std::span<const std::int16_t>(pairs))));
    values.addTag("Text", Tag::utf16Array(u"5\u00B5m grid"));
    values.addTag("LongText", Tag::utf16Array(std::u16string(300, u'a')));
    // A name in Latin-1, as old files have them: the byte 0xB5 alone is not UTF-8.
    values.addTag("\xB5m", Tag::int32(1));
    values.addDirectory().addTag(Tag::int32(5));
    file.writeFile(path);
    return path;
}

const nlohmann::json& data(const nlohmann::json& tree, const std::string& path) {
    const nlohmann::json* node = findNode(tree, path);
    if (node == nullptr || !node->contains("value")) {
        static const nlohmann::json s_missing;
        ADD_FAILURE() << "no value at " << path;
        return s_missing;
    }
    return (*node)["value"]["data"];
}

TEST(TreeJson, FollowsTheDocumentShape) {
    ScratchDirectory scratch;
    const std::string path = writeTagFile(scratch);
    const ProcessResult result = runTrestan({"tree", "--json", path});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const nlohmann::json tree = parseJson(result.out);

    EXPECT_EQ(tree["name"], "root");
    EXPECT_FALSE(tree.contains("value"));
    const nlohmann::json* gatan = findNode(tree, "GATAN");
    ASSERT_NE(gatan, nullptr) << result.out;
    const nlohmann::json* values = findNode(tree, "GATAN/Values");
    ASSERT_NE(values, nullptr);

    const nlohmann::json* float32 = findNode(tree, "GATAN/Values/Float32");
    ASSERT_NE(float32, nullptr);
    EXPECT_EQ((*float32)["value"]["type"], "float32");
    EXPECT_FALSE(float32->contains("children")) << "a node without children has no \"children\" member";
    EXPECT_EQ(data(tree, "GATAN/Values/Float32").get<double>(), 0.001);
    EXPECT_EQ(data(tree, "GATAN/Values/Float64").get<double>(), 0.1);
    EXPECT_EQ(data(tree, "GATAN/Values/Tiny").get<double>(), 1.5e-300);
    EXPECT_TRUE(data(tree, "GATAN/Values/NotANumber").is_null());
    EXPECT_TRUE(data(tree, "GATAN/Values/Infinite").is_null());
    EXPECT_EQ(data(tree, "GATAN/Values/Int64").get<std::int64_t>(), -9007199254740993LL);
    EXPECT_EQ(data(tree, "GATAN/Values/Pair"), nlohmann::json::array({-3, 4}));
    EXPECT_EQ(data(tree, "GATAN/Values/Empty"), nlohmann::json::array());
    EXPECT_EQ(data(tree, "GATAN/Values/Ramp").size(), 1000U);
    EXPECT_EQ(data(tree, "GATAN/Values/Ramp")[999], 999);
    EXPECT_EQ(data(tree, "GATAN/Values/Text"), "5\u00B5m grid");
    const nlohmann::json* pairs = findNode(tree, "GATAN/Values/Pairs");
    ASSERT_NE(pairs, nullptr);
    EXPECT_FALSE(pairs->contains("value"));
    ASSERT_EQ((*pairs)["children"].size(), 10U) << "JSON holds every group";
    EXPECT_EQ(data(tree, "GATAN/Values/Pairs/item009/Field1"), 19);
    EXPECT_EQ(data(tree, "GATAN/Values/\xEF\xBF\xBDm"), 1) << "invalid UTF-8 bytes become U+FFFD";
    EXPECT_EQ(data(tree, "GATAN/Values/item000/item000"), 5);
    // Floats are written in their shortest form: float32 0.001 widened exactly would print as
    // 0.0010000000474974513.
    EXPECT_NE(result.out.find(R"("type":"float32","data":0.001})"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(R"("type":"float64","data":0.1})"), std::string::npos);
    EXPECT_NE(result.out.find(R"("type":"float64","data":1.5e-300})"), std::string::npos);
    EXPECT_EQ(result.out.find("0.0010000000474974513"), std::string::npos);
}

TEST(TreeText, ShowsNameTypeAndValueAndShortensLongValues) {
    ScratchDirectory scratch;
    const std::string path = writeTagFile(scratch);
    const ProcessResult result = runTrestan({"tree", path});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::string& out = result.out;
    EXPECT_EQ(out.rfind("root\n  GATAN", 0), 0U) << out;
    EXPECT_NE(out.find("\n      Float32: float32 = 0.001\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\n      Pair: int16[2] = [-3, 4]\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\n      Empty: uint32[0] = []\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\n      Ramp: int32[1000] = [0, 1, 2, 3, 4, 5, 6, 7, ...]\n"), std::string::npos)
        << out;
    // An array of groups shows its first three groups.
    EXPECT_NE(
        out.find(
            "\n      Pairs\n        item000\n          Field0: int16 = 0\n          Field1: int16 = 1\n"),
        std::string::npos)
        << out;
    EXPECT_NE(out.find("\n        item002\n          Field0: int16 = 4\n          Field1: int16 = 5\n"
                       "        ... (7 more of 10 groups)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\n      Text: string = \"5\u00B5m grid\"\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\n      LongText: string[300 bytes] = \"" + std::string(64, 'a') + "\"...\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find(std::string(65, 'a')), std::string::npos);
    EXPECT_NE(out.find("\n      \xEF\xBF\xBDm: int32 = 1\n"), std::string::npos) << out;
}

TEST(TreeDepth, LimitsTheLevelsBelowTheRootAndTextSaysHowManyChildrenAreNotShown) {
    ScratchDirectory scratch;
    const std::string path = writeTagFile(scratch);
    const ProcessResult json = runTrestan({"tree", "--json", "--depth", "1", path});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const nlohmann::json tree = parseJson(json.out);
    const nlohmann::json* gatan = findNode(tree, "GATAN");
    ASSERT_NE(gatan, nullptr);
    EXPECT_FALSE(gatan->contains("children"));

    const ProcessResult rootOnly = runTrestan({"tree", "--json", "--depth", "0", path});
    ASSERT_EQ(rootOnly.exitCode, 0) << rootOnly.err;
    EXPECT_EQ(parseJson(rootOnly.out), nlohmann::json({{"name", "root"}}));

    const ProcessResult text = runTrestan({"tree", "--depth", "1", path});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    // A DM4 directory's value is its entry count, as a 64-bit integer.
    EXPECT_EQ(text.out, "root\n  GATAN: int64 = 2  (2 children not shown)\n");
}

} // namespace
} // namespace trestan::clitest
