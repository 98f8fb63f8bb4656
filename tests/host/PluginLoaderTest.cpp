#include "trestan/PluginLibrary.h"
#include "trestan/PluginRegistry.h"
#include "trestan/UnsupportedFormat.h"
#include "velmora/Error.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>

using namespace trestan;

namespace {

const std::string PluginDir = TRESTAN_HOST_TEST_PLUGIN_DIR;
const std::string GoodPlugin = PluginDir + "/libtrestan-hosttest.so";
const std::string NoSymbolPlugin = PluginDir + "/libtrestan-nosymbol.so";
const std::string WrongApiPlugin = PluginDir + "/libtrestan-wrongapi.so";

std::string loadFailure(const std::string& path) {
    try {
        PluginLibrary::load(path);
    } catch (const velmora::Error& e) {
        return e.what();
    }
    return "(loaded)";
}

TEST(PluginLibrary, LoadsThePluginObjectAndItsIdentity) {
    const auto library = PluginLibrary::load(GoodPlugin);
    EXPECT_EQ(library->path(), GoodPlugin);
    ExtractorPlugin& plugin = library->plugin();
    EXPECT_EQ(plugin.api(), ExtractorPlugin::ApiVersion);
    EXPECT_EQ(plugin.name(), "HostTestPlugin");
    EXPECT_EQ(plugin.version(), PluginVersion(1, 2, 3));
    EXPECT_EQ(plugin.supportedFormats(), (std::unordered_set<std::string>{"TST", "TST2"}));
    EXPECT_EQ(plugin.extensionMap().at("tst"), "TST");
    // Loading again gives the same object: the library is mapped once.
    EXPECT_EQ(&PluginLibrary::load(GoodPlugin)->plugin(), &plugin);
}

TEST(PluginLibrary, ErrorsThrownInsideThePluginAreCaughtByType) {
    const auto library = PluginLibrary::load(GoodPlugin);
    const OptionMap options;
    EXPECT_THROW(library->plugin().open("x.tst", "DM", options), UnsupportedFormat);
    EXPECT_THROW(library->plugin().open("invalid", "TST", options), velmora::InvalidArgument);
    try {
        library->plugin().open(std::shared_ptr<velmora::StreamAccess>(), "tst", options);
        FAIL() << "a format differing in case was accepted";
    } catch (const velmora::Error& e) {
        EXPECT_STREQ(e.what(), "Format tst not supported by the plugin HostTestPlugin");
    }
    const auto view = library->plugin().open("x.tst", "TST", options);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(velmora::VariantDataValueConverter::toString(view->metadata()->child("path")->value()),
              "x.tst");
}

TEST(PluginLibrary, RefusesLibrariesThatAreNotPlugins) {
    const std::string noSymbol = loadFailure(NoSymbolPlugin);
    EXPECT_NE(noSymbol.find("'" + NoSymbolPlugin + "'"), std::string::npos) << noSymbol;
    EXPECT_NE(noSymbol.find("does not export the symbol 'trestan_extractor_plugin'"), std::string::npos)
        << noSymbol;

    const std::string wrongApi = loadFailure(WrongApiPlugin);
    EXPECT_NE(wrongApi.find("'" + WrongApiPlugin + "'"), std::string::npos) << wrongApi;
    EXPECT_NE(wrongApi.find("interface 1"), std::string::npos) << wrongApi;

    const std::string missing = PluginDir + "/libtrestan-missing.so";
    const std::string notFound = loadFailure(missing);
    EXPECT_EQ(notFound.rfind("cannot load plugin '" + missing + "': ", 0), 0u) << notFound;
    EXPECT_NE(notFound.find("No such file"), std::string::npos) << notFound;
}

TEST(PluginRegistry, ScansADirectoryAndRecordsFailures) {
    PluginRegistry registry;
    EXPECT_EQ(registry.scanDirectory(PluginDir), 1u);
    ASSERT_EQ(registry.plugins().size(), 1u);
    EXPECT_EQ(registry.plugins()[0]->plugin().name(), "HostTestPlugin");
    ASSERT_EQ(registry.failures().size(), 2u);
    EXPECT_EQ(registry.failures()[0].path, NoSymbolPlugin); // in name order
    EXPECT_EQ(registry.failures()[1].path, WrongApiPlugin);
    EXPECT_NE(registry.failures()[0].message.find("trestan_extractor_plugin"), std::string::npos);

    // A plugin already known is not added twice; a missing directory is no error.
    EXPECT_EQ(registry.scanDirectory(PluginDir), 0u);
    registry.add(PluginLibrary::load(GoodPlugin));
    EXPECT_EQ(registry.plugins().size(), 1u);
    EXPECT_EQ(registry.scanDirectory(PluginDir + "/does-not-exist"), 0u);
    EXPECT_EQ(registry.failures().size(), 4u);
    EXPECT_THROW(registry.add(nullptr), velmora::InvalidArgument);
}

TEST(PluginRegistry, FindsPluginsByFormatAndByExtensionAndSetsTheirLogLevel) {
    PluginRegistry registry;
    registry.add(PluginLibrary::load(GoodPlugin));
    ExtractorPlugin* plugin = &registry.plugins()[0]->plugin();
    EXPECT_EQ(registry.findByFormat("TST2"), plugin);
    EXPECT_EQ(registry.findByFormat("tst"), nullptr);
    EXPECT_EQ(registry.findByFormat("DM"), nullptr);

    std::string format;
    EXPECT_EQ(registry.findByPath("/data/Sample.TsT", format), plugin);
    EXPECT_EQ(format, "TST");
    EXPECT_EQ(registry.findByPath("relative.ts2", format), plugin);
    EXPECT_EQ(format, "TST2");
    format = "unchanged";
    EXPECT_EQ(registry.findByPath("/data/sample.tst.gz", format), nullptr);
    EXPECT_EQ(registry.findByPath("/data/dir.tst/sample", format), nullptr);
    EXPECT_EQ(registry.findByPath("/data/tst", format), nullptr);
    EXPECT_EQ(registry.findByPath("/data/sample.", format), nullptr);
    EXPECT_EQ(format, "unchanged");

    registry.initLog(velmora::LogLevel::Debug);
    const auto view = registry.findByFormat("TST")->open("x.tst", "TST", OptionMap());
    EXPECT_EQ(velmora::VariantDataValueConverter::toInt32(view->metadata()->child("logLevel")->value()), 5);
}

// The default directories with TRESTAN_PLUGIN_PATH set to `pluginPath` (or unset), which is restored
// afterwards.
std::vector<std::string> defaultDirectories(const char* pluginPath, const std::string& executable) {
    const char* old = std::getenv("TRESTAN_PLUGIN_PATH");
    const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    const auto set = [](const char* value) {
        value ? setenv("TRESTAN_PLUGIN_PATH", value, 1) : unsetenv("TRESTAN_PLUGIN_PATH");
    };
    set(pluginPath);
    auto directories = PluginRegistry::defaultDirectories(executable);
    set(saved ? saved->c_str() : nullptr);
    return directories;
}

TEST(PluginRegistry, DefaultDirectoriesPutThePluginPathFirst) {
    using Dirs = std::vector<std::string>;
    EXPECT_EQ(defaultDirectories("/opt/a::/opt/b:", "/usr/local/bin/trestan"),
              (Dirs{"/opt/a", "/opt/b", "/usr/local/lib/trestan/plugins"}));
    EXPECT_EQ(defaultDirectories(nullptr, "/usr/local/bin/trestan"),
              (Dirs{"/usr/local/lib/trestan/plugins"}));
    EXPECT_EQ(defaultDirectories(nullptr, "build/bin/trestan"), (Dirs{"build/lib/trestan/plugins"}));
    EXPECT_EQ(defaultDirectories("", "/x/bin/trestan"), (Dirs{"/x/lib/trestan/plugins"}));
}

} // namespace
