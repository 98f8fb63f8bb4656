// The file index and the plugin's logger in one process, as in a host that indexes files and also
// loads the plugin: the index never creates the logger, so the plugin's initLog still succeeds.
// A program of its own, so that no other test has created the logger first.

#include "InternalPluginLogger.h"
#include "dmwriter/DmImage.h"
#include "trestan/OptionMap.h"
#include "trestan/PluginLibrary.h"
#include "trestan/gatan/DmIndex.h"
#include "velmora/LogLevel.h"
#include "velmora/StreamAccessFactory.h"

#include <gtest/gtest.h>
#include <memory>
#include <spdlog/spdlog.h>
#include <vector>

TEST(DmIndexLogger, IndexingLeavesThePluginsLoggerUncreated) {
    const auto bytes = std::make_shared<const std::vector<std::uint8_t>>(
        dmwriter::imageFile({dmwriter::rampImage(7, {8, 4})}).toBytes());
    const auto index = trestan::gatan::DmIndex::build(velmora::StreamAccessFactory::fromMemory(bytes));
    ASSERT_EQ(index.frames().size(), 1U);
    EXPECT_EQ(InternalPluginLogger::instance(), nullptr);
    EXPECT_EQ(spdlog::get("GatanPlugin"), nullptr);

    auto library =
        trestan::PluginLibrary::load(std::string(TRESTAN_TEST_PLUGIN_DIR) + "/libtrestan-gatan.so");
    EXPECT_NO_THROW(library->plugin().initLog(velmora::LogLevel::Off));
    const auto opened =
        library->plugin().open(velmora::StreamAccessFactory::fromMemory(bytes), "DM", trestan::OptionMap{});
    EXPECT_EQ(opened->frameCount(), 1U);
}
