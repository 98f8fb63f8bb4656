// The Gatan plugin as a host sees it: loaded with the host's loader, through its exported object only.
// Its logger is created once per process, so each log case runs a fresh probe process that loads the
// plugin, sets the level and opens one file, and reads what reached standard output.

#include "ByteSources.h"
#include "dmwriter/DmImage.h"
#include "trestan/PluginLibrary.h"
#include "trestan/UnsupportedFormat.h"
#include "velmora/Error.h"
#include "velmora/StreamAccessFactory.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

using testsupport::MemorySource;
using testsupport::TemporaryFile;
using Bytes = std::vector<std::uint8_t>;

const std::string& pluginPath() {
    static const std::string s_path = std::string(TRESTAN_TEST_PLUGIN_DIR) + "/libtrestan-gatan.so";
    return s_path;
}

/// The Gatan plugin, loaded once per process through the host's loader.
trestan::ExtractorPlugin& gatanPlugin() {
    static const std::shared_ptr<trestan::PluginLibrary> s_library =
        trestan::PluginLibrary::load(pluginPath());
    return s_library->plugin();
}

/// The smallest file the reader accepts: a header and a root directory with an empty "ImageList".
dmwriter::Bytes minimalFile(dmwriter::Version version) {
    return dmwriter::imageFile({}, version).toBytes();
}

// A stream over memory that reports chosen capabilities and counts the reads made through it.
class ProbeStream : public velmora::StreamAccess {
public:
    ProbeStream(Bytes bytes, std::uint64_t capabilities)
        : m_inner(velmora::StreamAccessFactory::fromMemory(std::make_shared<const Bytes>(std::move(bytes)))),
          m_capabilities(capabilities) {}
    std::uint64_t capabilities() const override { return m_capabilities; }
    std::uint64_t read(std::uint64_t count, void* destination) override {
        ++reads;
        return m_inner->read(count, destination);
    }
    std::uint64_t tell() const override { return m_inner->tell(); }
    void seek(std::int64_t offset, velmora::SeekOrigin origin) override { m_inner->seek(offset, origin); }
    std::optional<std::uint64_t> size() const override {
        if ((m_capabilities & velmora::SIZE) == 0) {
            return std::nullopt;
        }
        return m_inner->size();
    }
    int reads = 0;

private:
    std::shared_ptr<velmora::StreamAccess> m_inner;
    std::uint64_t m_capabilities;
};

struct ProbeResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

ProbeResult runProbe(const std::vector<std::string>& arguments) {
    // Output goes to files rather than pipes so that neither stream can block the other.
    testsupport::TemporaryFile out({}, ".out");
    testsupport::TemporaryFile err({}, ".err");
    std::string command = "'" TRESTAN_TEST_LOG_PROBE "'";
    for (const std::string& argument : arguments) {
        command += " '" + argument + "'";
    }
    const int status = std::system((command + " >'" + out.path() + "' 2>'" + err.path() + "'").c_str());
    const auto text = [](const std::string& path) {
        const auto bytes = testsupport::readFile(path);
        return std::string(bytes.begin(), bytes.end());
    };
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text(out.path()), text(err.path())};
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        result.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return result;
}

// spdlog's default layout: "[time] [logger] [level] [file:line] message".
bool isRecord(const std::string& line, const std::string& level, const std::string& message) {
    const std::string head = "[GatanPlugin] [" + level + "] [GatanExtractor.cpp:";
    const std::size_t at = line.find(head);
    const std::size_t close = at == std::string::npos ? at : line.find("] ", at + head.size());
    return close != std::string::npos && line.substr(close + 2) == message;
}

// The smallest DM3 and DM4 files, written once per process.
const std::string& dm3Path() {
    static const testsupport::TemporaryFile s_file(minimalFile(dmwriter::Version::Dm3), ".dm3");
    return s_file.path();
}
const std::string& dm4Path() {
    static const testsupport::TemporaryFile s_file(minimalFile(dmwriter::Version::Dm4), ".dm4");
    return s_file.path();
}

} // namespace

TEST(PluginLibrary, ExportsOnlyThePluginObject) {
    const std::string command = "nm -D --defined-only '" + pluginPath() + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    ASSERT_TRUE(pipe);
    std::set<std::string> symbols;
    std::array<char, 4096> line{};
    while (std::fgets(line.data(), line.size(), pipe.get()) != nullptr) {
        std::string text(line.data());
        text.erase(text.find_last_not_of("\r\n") + 1);
        symbols.insert(text.substr(text.find_last_of(' ') + 1));
    }
    EXPECT_EQ(symbols, std::set<std::string>{"trestan_extractor_plugin"});
}

TEST(PluginOpen, RefusesOtherFormatNamesBeforeTouchingTheSource) {
    trestan::ExtractorPlugin& plugin = gatanPlugin();
    for (const std::string format : {"dm", "DM3", "", " DM", "DM "}) {
        const std::string expected = "Format " + format + " not supported by the plugin GatanPlugin";
        try {
            plugin.open(std::string("/nonexistent/file.dm3"), format, trestan::OptionMap{});
            ADD_FAILURE() << "path form accepted format '" << format << "'";
        } catch (const trestan::UnsupportedFormat& error) {
            EXPECT_EQ(error.what(), expected);
        }
        auto stream =
            std::make_shared<ProbeStream>(minimalFile(dmwriter::Version::Dm3), velmora::READ | velmora::SEEK);
        EXPECT_THROW(plugin.open(stream, format, trestan::OptionMap{}), trestan::UnsupportedFormat);
        EXPECT_EQ(stream->reads, 0);
        auto source = std::make_shared<MemorySource>(minimalFile(dmwriter::Version::Dm4));
        EXPECT_THROW(
            plugin.open(std::shared_ptr<velmora::RandomAccess>(source), format, trestan::OptionMap{}),
            trestan::UnsupportedFormat);
    }
}

TEST(PluginOpen, OpensPathsStreamsAndRandomAccessSources) {
    for (auto version : {dmwriter::Version::Dm3, dmwriter::Version::Dm4}) {
        // Any path is read as DM whatever its extension, and options are ignored.
        TemporaryFile file(minimalFile(version), ".bin");
        trestan::OptionMap options;
        options.set("ignored", "yes");
        auto first = gatanPlugin().open(file.path(), "DM", options);
        auto second = gatanPlugin().open(file.path(), "DM", trestan::OptionMap{});
        ASSERT_TRUE(first && second);
        EXPECT_NE(first.get(), second.get());
        EXPECT_EQ(first->capabilities(), 1u);
        EXPECT_EQ(first->frameCount(), 0u);
        auto root = first->metadata();
        EXPECT_EQ(root->name(), "root");
        EXPECT_FALSE(root->value());
        ASSERT_EQ(root->childCount(), 1u);
        EXPECT_EQ(root->childAt(0)->name(), "GATAN");
        // A stream that does not know its size still opens: READ and SEEK are all the reader needs.
        auto stream = std::make_shared<ProbeStream>(minimalFile(version), velmora::READ | velmora::SEEK);
        EXPECT_EQ(gatanPlugin().open(stream, "DM", trestan::OptionMap{})->metadata()->childAt(0)->name(),
                  "GATAN");
        auto source = std::make_shared<MemorySource>(minimalFile(version));
        auto view =
            gatanPlugin().open(std::shared_ptr<velmora::RandomAccess>(source), "DM", trestan::OptionMap{});
        EXPECT_EQ(view->metadata()->childAt(0)->name(), "GATAN");
    }
    try {
        gatanPlugin().open(std::string("/nonexistent/dir/file.dm4"), "DM", trestan::OptionMap{});
        ADD_FAILURE() << "a missing file opened";
    } catch (const velmora::Error& error) {
        EXPECT_NE(std::string(error.what()).find("/nonexistent/dir/file.dm4"), std::string::npos)
            << error.what();
    }
}

TEST(PluginOpen, RefusesStreamsWithoutReadAndSeekBeforeReadingAnyByte) {
    for (std::uint64_t capabilities :
         {std::uint64_t{0}, std::uint64_t{velmora::READ}, std::uint64_t{velmora::SEEK},
          std::uint64_t{velmora::READ | velmora::WRITE | velmora::SIZE}}) {
        auto stream = std::make_shared<ProbeStream>(minimalFile(dmwriter::Version::Dm3), capabilities);
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
    // only the dataset line, lower levels and no initialisation nothing; a second level is ignored.
    const std::string dm3 = "DM3 dataset";
    struct Case {
        std::vector<std::string> arguments;
        std::size_t lines; ///< 2 for the debug trace, which has more
        std::string infoLine;
    };
    const Case cases[] = {
        {{dm3Path(), "5"}, 2, dm3},      {{dm3Path(), "4"}, 1, dm3}, {{dm4Path(), "4"}, 1, "DM4 dataset"},
        {{dm4Path(), "0"}, 0, ""},       {{dm4Path(), "1"}, 0, ""},  {{dm4Path(), "2"}, 0, ""},
        {{dm4Path(), "3"}, 0, ""},       {{dm4Path()}, 0, ""},       {{dm3Path(), "4", "6"}, 1, dm3},
        {{dm3Path(), "6", "0"}, 2, dm3},
    };
    for (const Case& c : cases) {
        const std::string what = "levels " + std::to_string(c.arguments.size() - 1) + ": " +
                                 (c.arguments.size() > 1 ? c.arguments[1] : "none");
        const ProbeResult r = runProbe(c.arguments);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const auto out = lines(r.out);
        if (c.lines < 2) {
            ASSERT_EQ(out.size(), c.lines) << what << "\n" << r.out;
        } else {
            ASSERT_GT(out.size(), 5U) << what << "\n" << r.out;
            EXPECT_TRUE(isRecord(out[0], "debug", "Reading DM header")) << out[0];
            EXPECT_TRUE(isRecord(out.back(), "debug", "End of directory \"GATAN\"")) << out.back();
        }
        if (c.lines > 0) {
            EXPECT_TRUE(isRecord(out[c.lines - 1], "info", c.infoLine)) << what << ": " << out[c.lines - 1];
        }
    }
}

TEST(PluginLog, RefusesLevelsAboveSix) {
    for (const std::string level : {"7", "4294967295"}) {
        const ProbeResult r = runProbe({dm3Path(), level});
        EXPECT_EQ(r.exitCode, 1) << "one refused initLog";
        EXPECT_EQ(r.err, "unsupported log level\n");
    }
    // The refused level left the logger registered under the plugin's name, so a later
    // initialisation fails in the logging library instead of silently creating a second one.
    const ProbeResult again = runProbe({dm3Path(), "7", "5"});
    EXPECT_EQ(again.exitCode, 2) << "both initLog calls refused";
    EXPECT_NE(again.err.find("GatanPlugin"), std::string::npos) << again.err;
}
