#include "trestan/PluginLibrary.h"
#include "trestan/PluginRegistry.h"
#include "trestan/UnsupportedFormat.h"
#include "velmora/Error.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace trestan;

namespace {

const std::string PluginDir = TRESTAN_HOST_TEST_PLUGIN_DIR;
const std::string GoodPlugin = PluginDir + "/libtrestan-hosttest.so";
const std::string NoSymbolPlugin = PluginDir + "/libtrestan-nosymbol.so";
const std::string WrongApiPlugin = PluginDir + "/libtrestan-wrongapi.so";

TEST(PluginLibrary, LoadsThePluginOnceCatchesItsErrorsByTypeAndRefusesOtherLibraries) {
    const auto library = PluginLibrary::load(GoodPlugin);
    ExtractorPlugin& plugin = library->plugin();
    EXPECT_EQ(&PluginLibrary::load(GoodPlugin)->plugin(), &plugin) << "the library is mapped once";
    EXPECT_THROW(plugin.open("x.tst", "DM", OptionMap()), UnsupportedFormat);

    for (const auto& [path, message] :
         {std::pair<std::string, std::string>{
              NoSymbolPlugin, "the library does not export the symbol 'trestan_extractor_plugin'"},
          {WrongApiPlugin, "it implements extractor interface 1"},
          {PluginDir + "/libtrestan-missing.so", "No such file"}}) {
        try {
            PluginLibrary::load(path);
            ADD_FAILURE() << path << " loaded";
        } catch (const velmora::Error& e) {
            EXPECT_EQ(std::string(e.what()).rfind("cannot load plugin '" + path + "': ", 0), 0U) << e.what();
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
}

TEST(PluginRegistry, ScansADirectoryFindsPluginsByFormatAndExtensionAndSetsTheirLogLevel) {
    PluginRegistry registry;
    EXPECT_EQ(registry.scanDirectory(PluginDir), 1U);
    ASSERT_EQ(registry.plugins().size(), 1U);
    ASSERT_EQ(registry.failures().size(), 2U);
    EXPECT_EQ(registry.failures()[0].path, NoSymbolPlugin); // in name order
    EXPECT_EQ(registry.failures()[1].path, WrongApiPlugin);
    // A plugin already known is not added twice; a missing directory is no error.
    EXPECT_EQ(registry.scanDirectory(PluginDir), 0U);
    registry.add(PluginLibrary::load(GoodPlugin));
    EXPECT_EQ(registry.plugins().size(), 1U);
    EXPECT_EQ(registry.scanDirectory(PluginDir + "/does-not-exist"), 0U);

    ExtractorPlugin* plugin = &registry.plugins()[0]->plugin();
    EXPECT_EQ(registry.findByFormat("TST2"), plugin);
    EXPECT_EQ(registry.findByFormat("tst"), nullptr);
    for (const auto& [path, format] : {std::pair<std::string, std::string>{"/data/Sample.TsT", "TST"},
                                       {"relative.ts2", "TST2"},
                                       {"/data/sample.tst.gz", ""},
                                       {"/data/dir.tst/sample", ""},
                                       {"/data/tst", ""},
                                       {"/data/sample.", ""}}) {
        std::string found = "unchanged";
        EXPECT_EQ(registry.findByPath(path, found), format.empty() ? nullptr : plugin) << path;
        EXPECT_EQ(found, format.empty() ? "unchanged" : format) << path;
    }
    registry.initLog(velmora::LogLevel::Debug);
    const auto view = registry.findByFormat("TST")->open("x.tst", "TST", OptionMap());
    EXPECT_EQ(velmora::VariantDataValueConverter::toInt32(view->metadata()->child("logLevel")->value()), 5);
}

TEST(PluginRegistry, DefaultDirectoriesPutThePluginPathFirst) {
    // Without the variable, the directory beside the executable is checked by every command-line test.
    setenv("TRESTAN_PLUGIN_PATH", "/opt/a::/opt/b:", 1);
    EXPECT_EQ(PluginRegistry::defaultDirectories("/usr/local/bin/trestan"),
              (std::vector<std::string>{"/opt/a", "/opt/b", "/usr/local/lib/trestan/plugins"}));
    unsetenv("TRESTAN_PLUGIN_PATH");
}

TEST(PluginVersion, ParsesOneToThreeNumbersComparesThemAndRefusesAnythingElse) {
    EXPECT_EQ(PluginVersion("7"), PluginVersion(7, 0, 0));
    EXPECT_EQ(PluginVersion("1.12"), PluginVersion(1, 12, 0));
    EXPECT_EQ(PluginVersion("4294967295.0.007"), PluginVersion(4294967295U, 0, 7));
    EXPECT_LT(PluginVersion("2.0.1"), PluginVersion("2.1"));
    EXPECT_GT(PluginVersion("10.0"), PluginVersion("9.99"));
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

} // namespace
