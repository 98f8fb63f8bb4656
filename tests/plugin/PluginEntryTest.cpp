// The Gatan plugin as a host sees it: loaded with the host's loader, through its exported object only.
// What its log levels let through is checked by the command-line cases (tests/cli/cases.txt, probe-*)
// with plugin_log_probe: the logger is made once per process.

#include "ByteSources.h"
#include "dmwriter/DmImage.h"
#include "trestan/PluginLibrary.h"
#include "trestan/UnsupportedFormat.h"
#include "velmora/Error.h"
#include "velmora/StreamAccessFactory.h"

#include <cstdio>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using ::testing::ThrowsMessage;
using testsupport::TemporaryFile;
using Bytes = std::vector<std::uint8_t>;
const std::string PluginPath = std::string(TRESTAN_TEST_PLUGIN_DIR) + "/libtrestan-gatan.so";

trestan::ExtractorPlugin& gatanPlugin() {
    static const auto s_library = trestan::PluginLibrary::load(PluginPath);
    return s_library->plugin();
}

/// The smallest file the reader accepts: a header and a root directory with an empty "ImageList".
Bytes minimalFile(dmwriter::Version version) {
    return dmwriter::imageFile({}, version).toBytes();
}

/// A stream over memory that reports chosen capabilities and counts the reads made through it.
class ProbeStream : public velmora::StreamAccess {
public:
    ProbeStream(std::uint64_t capabilities, dmwriter::Version version = dmwriter::Version::Dm3)
        : m_inner(
              velmora::StreamAccessFactory::fromMemory(std::make_shared<const Bytes>(minimalFile(version)))),
          m_capabilities(capabilities) {}
    std::uint64_t capabilities() const override { return m_capabilities; }
    std::uint64_t read(std::uint64_t count, void* destination) override {
        ++reads;
        return m_inner->read(count, destination);
    }
    std::uint64_t tell() const override { return m_inner->tell(); }
    void seek(std::int64_t offset, velmora::SeekOrigin origin) override { m_inner->seek(offset, origin); }
    std::optional<std::uint64_t> size() const override {
        return (m_capabilities & velmora::SIZE) != 0 ? m_inner->size() : std::nullopt;
    }
    int reads = 0;

private:
    std::shared_ptr<velmora::StreamAccess> m_inner;
    std::uint64_t m_capabilities;
};

} // namespace

TEST(PluginLibrary, ExportsOnlyThePluginObject) {
    FILE* nm = popen(("nm -D --defined-only '" + PluginPath + "' | awk '{print $NF}'").c_str(), "r");
    ASSERT_NE(nm, nullptr);
    std::string symbols;
    for (int c = std::fgetc(nm); c != EOF; c = std::fgetc(nm)) {
        symbols += static_cast<char>(c);
    }
    EXPECT_EQ(pclose(nm), 0);
    EXPECT_EQ(symbols, "trestan_extractor_plugin\n");
}

TEST(PluginOpen, OpensEveryKindOfSourceAndRefusesOtherFormatsAndIncapableStreamsBeforeReading) {
    for (auto version : {dmwriter::Version::Dm3, dmwriter::Version::Dm4}) {
        // Any path is read as DM whatever its extension; a stream needs only READ and SEEK.
        TemporaryFile file(minimalFile(version), ".bin");
        const std::shared_ptr<velmora::MultiImageView> views[] = {
            gatanPlugin().open(file.path(), "DM", trestan::OptionMap{}),
            gatanPlugin().open(std::make_shared<ProbeStream>(velmora::READ | velmora::SEEK, version), "DM",
                               {}),
            gatanPlugin().open(std::shared_ptr<velmora::RandomAccess>(
                                   std::make_shared<testsupport::MemorySource>(minimalFile(version))),
                               "DM", {})};
        for (const auto& view : views) {
            EXPECT_EQ(view->frameCount(), 0U);
            ASSERT_EQ(view->metadata()->childCount(), 1U);
            EXPECT_EQ(view->metadata()->childAt(0)->name(), "GATAN");
        }
    }
    for (const std::string format : {"dm", "DM3", "", " DM", "DM "}) {
        EXPECT_THAT([&] { gatanPlugin().open(std::string("/nonexistent/file.dm3"), format, {}); },
                    ThrowsMessage<trestan::UnsupportedFormat>("Format " + format +
                                                              " not supported by the plugin GatanPlugin"));
        auto stream = std::make_shared<ProbeStream>(velmora::READ | velmora::SEEK);
        EXPECT_THROW(gatanPlugin().open(stream, format, {}), trestan::UnsupportedFormat);
        EXPECT_EQ(stream->reads, 0);
    }
    for (std::uint64_t capabilities : std::initializer_list<std::uint64_t>{
             0, velmora::READ, velmora::SEEK, velmora::READ | velmora::WRITE | velmora::SIZE}) {
        auto stream = std::make_shared<ProbeStream>(capabilities);
        EXPECT_THAT(
            [&] { gatanPlugin().open(stream, "DM", {}); },
            ThrowsMessage<velmora::InvalidArgument>("input does not support the READ and SEEK capabilities"));
        EXPECT_EQ(stream->reads, 0) << "capabilities " << capabilities;
    }
}
