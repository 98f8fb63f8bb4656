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

// spdlog's default layout: "[time] [logger] [level] [file:line] message".
bool isRecord(const std::string& line, const std::string& level, const std::string& message) {
    const std::string head = "[GatanPlugin] [" + level + "] [GatanExtractor.cpp:";
    const std::size_t at = line.find(head);
    const std::size_t close = at == std::string::npos ? at : line.find("] ", at + head.size());
    return close != std::string::npos && line.substr(close + 2) == message;
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
