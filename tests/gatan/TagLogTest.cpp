// The trace of the walk: every debug and info line, with the function that writes it, in order. The
// trace also shows which value parser the info array selects.

#include "GatanTestSupport.h"
#include "LogCapture.h"

#include <algorithm>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace dmwriter;
using namespace testsupport;
using ::testing::ElementsAre;

namespace {

class TagLog : public ::testing::Test {
protected:
    void SetUp() override { ensurePluginLogger(); }

    /// The lines logged while opening `file` (successfully or not).
    static std::vector<std::string> linesOf(DmFile& file) {
        const Bytes bytes = file.toBytes();
        LogCapture log;
        try {
            openDm(bytes);
        } catch (const std::exception&) {
        }
        return log.lines();
    }

    /// The lines logged for the root entry "T" holding `tag`, from its "Parsing tag" line on.
    static std::vector<std::string> tagLines(Version version, Tag tag) {
        DmFile file(version);
        file.root().addTag("T", std::move(tag));
        addEmptyImageList(file);
        std::vector<std::string> lines = linesOf(file);
        const std::string start = version == Version::Dm3 ? "parseTag3 debug Parsing tag \"T\""
                                                          : "parseTag4 debug Parsing tag \"T\"";
        const auto first = std::find(lines.begin(), lines.end(), start);
        const auto last =
            std::find(first, lines.end(),
                      std::string(version == Version::Dm3 ? "parseDirectory3" : "parseDirectory4") +
                          " debug Parsing directory \"ImageList\"");
        return std::vector<std::string>(first, last);
    }
};

} // namespace

TEST_F(TagLog, Dm3WalkTrace) {
    DmFile file(Version::Dm3);
    file.root().addTag(Tag::int32(5));
    addEmptyImageList(file);
    EXPECT_THAT(linesOf(file), ElementsAre("init debug Reading DM header",                                 //
                                           "init info DM3 dataset",                                        //
                                           "init debug DM3 detected",                                      //
                                           "parseDirectory3 debug Parsing directory \"GATAN\"",            //
                                           "parseDirectory3 debug Directory \"GATAN\" has 2 children",     //
                                           "parseTag3 debug Parsing tag \"item000\"",                      //
                                           "parseScalar debug Parsing scalar value of tag \"item000\"",    //
                                           "parseDirectory3 debug Parsing directory \"ImageList\"",        //
                                           "parseDirectory3 debug Directory \"ImageList\" has 0 children", //
                                           "parseDirectory3 debug End of directory \"ImageList\"",         //
                                           "parseDirectory3 debug End of directory \"GATAN\""));
}

TEST_F(TagLog, Dm4WalkTrace) {
    DmFile file(Version::Dm4);
    Directory& outer = file.root().addDirectory("Outer");
    outer.addTag("Name", Tag::string(u"x"));
    file.root().addDirectory("Negative").entryCount(-3); // the count is logged as stored
    addEmptyImageList(file);
    EXPECT_THAT(linesOf(file), ElementsAre("init debug Reading DM header",                                 //
                                           "init info DM4 dataset",                                        //
                                           "init debug DM4 detected",                                      //
                                           "parseDirectory4 debug Parsing directory \"GATAN\"",            //
                                           "parseDirectory4 debug Directory \"GATAN\" has 3 children",     //
                                           "parseDirectory4 debug Parsing directory \"Outer\"",            //
                                           "parseDirectory4 debug Directory \"Outer\" has 1 children",     //
                                           "parseTag4 debug Parsing tag \"Name\"",                         //
                                           "parseString debug Parsing string value of tag \"Name\"",       //
                                           "parseDirectory4 debug End of directory \"Outer\"",             //
                                           "parseDirectory4 debug Parsing directory \"Negative\"",         //
                                           "parseDirectory4 debug Directory \"Negative\" has -3 children", //
                                           "parseDirectory4 debug End of directory \"Negative\"",          //
                                           "parseDirectory4 debug Parsing directory \"ImageList\"",        //
                                           "parseDirectory4 debug Directory \"ImageList\" has 0 children", //
                                           "parseDirectory4 debug End of directory \"ImageList\"",         //
                                           "parseDirectory4 debug End of directory \"GATAN\""));
}

TEST_F(TagLog, InfoArraySelectsTheValueParser) {
    for (Version version : {Version::Dm3, Version::Dm4}) {
        const std::string tag = version == Version::Dm3 ? "parseTag3 debug Parsing tag \"T\""
                                                        : "parseTag4 debug Parsing tag \"T\"";
        // [20, 15, ...]: array of groups.
        EXPECT_THAT(tagLines(version, Tag::groupArray({3}, 1, Bytes(4, 0))),
                    ElementsAre(tag, "parseGroupArray debug Parse array of groups value of tag \"T\""));
        // [20, 2, ...]: array.
        EXPECT_THAT(tagLines(version, Tag::array(2, 1, Bytes(2, 0))),
                    ElementsAre(tag, "parseArray debug Parse array value of tag \"T\""));
        // [15, ...]: group, even when I[1] reads 20 or 18.
        EXPECT_THAT(tagLines(version, Tag::raw({15, 20, 1, 0, 3}, Bytes(4, 0))),
                    ElementsAre(tag, "parseGroup debug Parsing group value of tag \"T\""));
        // [18, ...]: string, even when I[1] reads 15.
        EXPECT_THAT(tagLines(version, Tag::raw({18, 15}, Bytes(30, 0))),
                    ElementsAre(tag, "parseString debug Parsing string value of tag \"T\""));
        // [7] and any other I[0]: scalar.
        EXPECT_THAT(tagLines(version, Tag::float64(1.0)),
                    ElementsAre(tag, "parseScalar debug Parsing scalar value of tag \"T\""));
        EXPECT_THAT(tagLines(version, Tag::raw({7, 20, 15}, Bytes(8, 0))),
                    ElementsAre(tag, "parseScalar debug Parsing scalar value of tag \"T\""));
    }
}

TEST_F(TagLog, SpecialCasesAreTraced) {
    EXPECT_THAT(
        tagLines(Version::Dm3, Tag::utf16Array(u"ab")),
        ElementsAre("parseTag3 debug Parsing tag \"T\"", "parseArray debug Parse array value of tag \"T\"",
                    "parseArray debug Special case: array of 16 bits integer treated as an UTF-16 string"));

    DmFile file(Version::Dm4);
    file.root().addTag("Data", Tag::array(4, 2, Bytes(4, 0)));
    file.root().addTag("Data", Tag::groupArray({2, 2}, 2, Bytes(8, 0)));
    file.root().addTag("Table", Tag::groupArray({2}, 1, Bytes(2, 0)));
    file.root().addTag("Pair", Tag::group({Field::of(ElementType::Int16, std::int16_t{1})}));
    std::vector<std::string> lines = linesOf(file);
    const auto first = std::find(lines.begin(), lines.end(), "parseTag4 debug Parsing tag \"Data\"");
    EXPECT_THAT(
        std::vector<std::string>(first, lines.end()),
        ElementsAre("parseTag4 debug Parsing tag \"Data\"",                                          //
                    "parseArray debug Parse array value of tag \"Data\"",                            //
                    "parseArray debug Data tag encountered, remplacing it by a DataOffset one",      //
                    "parseTag4 debug Parsing tag \"Data\"",                                          //
                    "parseGroupArray debug Parse array of groups value of tag \"Data\"",             //
                    "parseGroupArray debug Data tag encountered, remplacing it by a DataOffset one", //
                    "parseTag4 debug Parsing tag \"Table\"",                                         //
                    "parseGroupArray debug Parse array of groups value of tag \"Table\"",            //
                    "parseTag4 debug Parsing tag \"Pair\"",                                          //
                    "parseGroup debug Parsing group value of tag \"Pair\"",                          //
                    "parseDirectory4 debug End of directory \"GATAN\""));
}

TEST_F(TagLog, FailuresAreThrownNotLogged) {
    // An unconvertible scalar code fails after its debug line; nothing is logged at warning or above.
    DmFile file(Version::Dm3);
    file.root().addTag("Bad", Tag::scalar(13, Bytes(4, 0)));
    addEmptyImageList(file);
    const std::vector<std::string> lines = linesOf(file);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "parseScalar debug Parsing scalar value of tag \"Bad\"");
    for (const std::string& line : lines) {
        EXPECT_THAT(line, ::testing::AnyOf(::testing::HasSubstr(" debug "), ::testing::HasSubstr(" info ")));
    }
}
