// The Gatan plugin as a host sees it: loaded with the host's loader, through its exported object only.
// Its logger is created once per process, so each log case runs a fresh probe process that loads the
// plugin, sets the level and opens one file, and reads what reached standard output.

#include "ByteSources.h"
#include "dmwriter/DmImage.h"
#include "trestan/PluginLibrary.h"
#include "trestan/UnsupportedFormat.h"
#include "velmora/Error.h"
#include "velmora/StreamAccessFactory.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>

namespace {

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

/// Runs a shell command; its exit code and standard output (standard error to `err` when given).
std::pair<int, std::string> run(const std::string& command, const TemporaryFile* err = nullptr) {
    TemporaryFile out({}, ".out");
    const std::string redirect = " >'" + out.path() + "'" + (err ? " 2>'" + err->path() + "'" : "");
    const int status = std::system((command + redirect).c_str());
    const Bytes text = testsupport::readFile(out.path());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, std::string(text.begin(), text.end())};
}

} // namespace

TEST(PluginLibrary, ExportsOnlyThePluginObject) {
    const auto [code, symbols] = run("nm -D --defined-only '" + PluginPath + "' | awk '{print $NF}'");
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
        try {
            gatanPlugin().open(std::string("/nonexistent/file.dm3"), format, trestan::OptionMap{});
            ADD_FAILURE() << "format '" << format << "' accepted";
        } catch (const trestan::UnsupportedFormat& error) {
            EXPECT_EQ(error.what(), "Format " + format + " not supported by the plugin GatanPlugin");
        }
        auto stream = std::make_shared<ProbeStream>(velmora::READ | velmora::SEEK);
        EXPECT_THROW(gatanPlugin().open(stream, format, {}), trestan::UnsupportedFormat);
        EXPECT_EQ(stream->reads, 0);
    }
    for (std::uint64_t capabilities : std::initializer_list<std::uint64_t>{
             0, velmora::READ, velmora::SEEK, velmora::READ | velmora::WRITE | velmora::SIZE}) {
        auto stream = std::make_shared<ProbeStream>(capabilities);
        try {
            gatanPlugin().open(stream, "DM", trestan::OptionMap{});
            ADD_FAILURE() << "capabilities " << capabilities << " accepted";
        } catch (const velmora::InvalidArgument& error) {
            EXPECT_STREQ(error.what(), "input does not support the READ and SEEK capabilities");
        }
        EXPECT_EQ(stream->reads, 0) << "capabilities " << capabilities;
    }
}

TEST(PluginLog, TheFirstLevelSetDecidesWhatReachesStandardOutput) {
    // Debug traces the whole walk (its wording and order are checked in tests/gatan), info writes
    // only the dataset line, lower levels and no initialisation nothing; a second level is ignored;
    // levels above 6 are refused, and leave the logger registered so that a later one fails too.
    static const TemporaryFile dm3(minimalFile(dmwriter::Version::Dm3), ".dm3");
    // Levels | exit code (the number of refused levels) | "trace" or not | the info line or
    // nothing | a fragment of standard error or nothing.
    const char* const cases[] = {"5|0|trace|DM3 dataset|",
                                 "3|0|||",
                                 "|0|||",
                                 "4 6|0||DM3 dataset|",
                                 "6 0|0|trace|DM3 dataset|",
                                 "7|1|||unsupported log level\n",
                                 "7 5|2|||GatanPlugin"};
    // spdlog's default layout: "[time] [logger] [level] [file:line] message".
    const auto isRecord = [](const std::string& line, const std::string& level, const std::string& message) {
        const std::size_t at = line.find("[GatanPlugin] [" + level + "] [GatanExtractor.cpp:");
        return at != std::string::npos && line.find("] " + message, at) + message.size() + 2 == line.size();
    };
    for (const std::string text : cases) {
        std::vector<std::string> c;
        std::istringstream fields(text);
        for (std::string field; std::getline(fields, field, '|');) {
            c.push_back(field);
        }
        c.resize(5);
        const TemporaryFile err({}, ".err");
        const auto [code, out] = run("'" TRESTAN_TEST_LOG_PROBE "' '" + dm3.path() + "' " + c[0], &err);
        const Bytes errBytes = testsupport::readFile(err.path());
        const std::string errText(errBytes.begin(), errBytes.end());
        EXPECT_EQ(code, std::stoi(c[1])) << text;
        EXPECT_TRUE(c[4].empty() ? errText.empty() : errText.find(c[4]) != std::string::npos)
            << text << ": " << errText;
        std::vector<std::string> lines;
        std::istringstream stream(out);
        for (std::string line; std::getline(stream, line);) {
            lines.push_back(line);
        }
        if (c[2] == "trace") {
            ASSERT_GT(lines.size(), 5U) << text << "\n" << out;
            EXPECT_TRUE(isRecord(lines[0], "debug", "Reading DM header")) << lines[0];
            EXPECT_TRUE(isRecord(lines[1], "info", c[3])) << lines[1];
            EXPECT_TRUE(isRecord(lines.back(), "debug", "End of directory \"GATAN\"")) << lines.back();
        } else {
            ASSERT_EQ(lines.size(), c[3].empty() ? 0U : 1U) << text << "\n" << out;
            EXPECT_TRUE(c[3].empty() || isRecord(lines[0], "info", c[3])) << lines[0];
        }
    }
}
