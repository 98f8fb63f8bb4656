// The plugin's logger is created once per process, so each case runs a fresh probe process that
// loads the plugin, sets the level and opens one file; the test reads what reached standard output.

#include "PluginFixture.h"
#include "dmwriter/DmWriter.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

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

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// spdlog's default layout: "[time] [logger] [level] [file:line] message".
bool isRecord(const std::string& line, const std::string& level, const std::string& message) {
    const std::string head = "[GatanPlugin] [" + level + "] [GatanExtractor.cpp:";
    const std::size_t at = line.find(head);
    if (at == std::string::npos) {
        return false;
    }
    const std::size_t close = line.find("] ", at + head.size());
    return close != std::string::npos && line.substr(close + 2) == message;
}

bool hasRecord(const std::vector<std::string>& lines, const std::string& level, const std::string& message) {
    for (const auto& line : lines) {
        if (isRecord(line, level, message)) {
            return true;
        }
    }
    return false;
}

// The smallest DM3 and DM4 files, written once per process.
const std::string& dm3Path() {
    static const testsupport::TemporaryFile s_file(plugintest::minimalFile(dmwriter::Version::Dm3), ".dm3");
    return s_file.path();
}
const std::string& dm4Path() {
    static const testsupport::TemporaryFile s_file(plugintest::minimalFile(dmwriter::Version::Dm4), ".dm4");
    return s_file.path();
}

} // namespace

TEST(PluginLog, DebugLevelTracesTheWholeOpen) {
    const ProbeResult r = runProbe({dm3Path(), "5"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto out = lines(r.out);
    ASSERT_GE(out.size(), 6u) << r.out;
    EXPECT_TRUE(isRecord(out[0], "debug", "Reading DM header")) << out[0];
    EXPECT_TRUE(isRecord(out[1], "info", "DM3 dataset")) << out[1];
    EXPECT_TRUE(isRecord(out[2], "debug", "DM3 detected")) << out[2];
    EXPECT_TRUE(isRecord(out[3], "debug", "Parsing directory \"GATAN\"")) << out[3];
    EXPECT_TRUE(isRecord(out[4], "debug", "Directory \"GATAN\" has 1 children")) << out[4];
    EXPECT_TRUE(hasRecord(out, "debug", "Directory \"ImageList\" has 0 children")) << r.out;
    EXPECT_TRUE(isRecord(out.back(), "debug", "End of directory \"GATAN\"")) << out.back();
}

TEST(PluginLog, InfoLevelWritesOnlyTheDatasetLine) {
    for (const auto& [file, expected] :
         {std::pair{dm3Path(), "DM3 dataset"}, std::pair{dm4Path(), "DM4 dataset"}}) {
        const ProbeResult r = runProbe({file, "4"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const auto out = lines(r.out);
        ASSERT_EQ(out.size(), 1u) << r.out;
        EXPECT_TRUE(isRecord(out[0], "info", expected)) << out[0];
    }
}

TEST(PluginLog, LevelsBelowInfoAndNoInitialisationWriteNothing) {
    for (const std::string level : {"0", "1", "2", "3"}) {
        const ProbeResult r = runProbe({dm4Path(), level});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "") << "level " << level;
    }
    // Logging before initLog is dropped; the open itself works.
    const ProbeResult r = runProbe({dm4Path()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST(PluginLog, FirstLevelStaysInForce) {
    const ProbeResult quiet = runProbe({dm3Path(), "4", "6"});
    ASSERT_EQ(quiet.exitCode, 0) << quiet.err;
    EXPECT_EQ(lines(quiet.out).size(), 1u) << quiet.out;
    const ProbeResult verbose = runProbe({dm3Path(), "6", "0"});
    ASSERT_EQ(verbose.exitCode, 0) << verbose.err;
    EXPECT_GT(lines(verbose.out).size(), 5u) << verbose.out;
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
    EXPECT_TRUE(contains(again.err, "GatanPlugin")) << again.err;
}
