#include "trestan/PluginVersion.h"

#include "velmora/Error.h"

#include <gtest/gtest.h>
#include <sstream>

using trestan::PluginVersion;

namespace {

TEST(PluginVersion, ParsesOneToThreeNumbers) {
    EXPECT_EQ(PluginVersion("2.0.0"), PluginVersion(2, 0, 0));
    EXPECT_EQ(PluginVersion("7"), PluginVersion(7, 0, 0));
    EXPECT_EQ(PluginVersion("1.12"), PluginVersion(1, 12, 0));
    EXPECT_EQ(PluginVersion("4294967295.0.007"), PluginVersion(4294967295u, 0, 7));
    const PluginVersion version("3.14.15");
    EXPECT_EQ(version.major(), 3u);
    EXPECT_EQ(version.minor(), 14u);
    EXPECT_EQ(version.patch(), 15u);
}

TEST(PluginVersion, RefusesAnythingElse) {
    for (const char* text : {"", ".", "1.", ".1", "1..2", "1.2.3.4", "+1", "-1", " 1", "1 ", "1.a", "v1",
                             "1.2-rc", "4294967296", "1.99999999999999999999", "0x10"}) {
        try {
            PluginVersion version{std::string(text)};
            ADD_FAILURE() << "accepted \"" << text << "\" as " << version;
        } catch (const velmora::InvalidArgument& e) {
            EXPECT_NE(std::string(e.what()).find("'" + std::string(text) + "'"), std::string::npos)
                << e.what();
        }
    }
}

TEST(PluginVersion, ComparesComponentByComponent) {
    EXPECT_LT(PluginVersion("1.9.9"), PluginVersion("2"));
    EXPECT_LT(PluginVersion("2.0.1"), PluginVersion("2.1"));
    EXPECT_LT(PluginVersion("2.1.0"), PluginVersion("2.1.1"));
    EXPECT_GT(PluginVersion("10.0"), PluginVersion("9.99"));
    EXPECT_EQ(PluginVersion("2"), PluginVersion("2.0.0"));
}

TEST(PluginVersion, PrintsAllThreeNumbers) {
    EXPECT_EQ(PluginVersion("2").toString(), "2.0.0");
    std::ostringstream out;
    out << PluginVersion(1, 2, 3);
    EXPECT_EQ(out.str(), "1.2.3");
}

} // namespace
