// The plugin's logger is created once per process, so each case runs a fresh probe process that
// loads the plugin, sets the level and opens one file; the test reads what reached standard output.

#include "PluginFixture.h"
#include "dmwriter/DmWriter.h"

#include <array>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

struct ProbeResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string readAll(int fd) {
    std::string text;
    std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n <= 0) {
            return text;
        }
        text.append(buffer.data(), static_cast<std::size_t>(n));
    }
}

ProbeResult runProbe(const std::vector<std::string>& arguments) {
    // Output goes to files rather than pipes so that neither stream can block the other.
    plugintest::TemporaryFile out({}, ".out");
    plugintest::TemporaryFile err({}, ".err");
    std::vector<std::string> args{TRESTAN_TEST_LOG_PROBE};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.path().c_str(), O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_addopen(&actions, 2, err.path().c_str(), O_WRONLY | O_TRUNC, 0);
    pid_t pid = 0;
    ProbeResult result;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    int fd = ::open(out.path().c_str(), O_RDONLY);
    result.out = readAll(fd);
    ::close(fd);
    fd = ::open(err.path().c_str(), O_RDONLY);
    result.err = readAll(fd);
    ::close(fd);
    return result;
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

class PluginLog : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dmwriter::DmFile dm3(dmwriter::Version::Dm3);
        dm3.root().addDirectory("ImageList");
        s_dm3 = std::make_unique<plugintest::TemporaryFile>(dm3.toBytes(), ".dm3");
        dmwriter::DmFile dm4(dmwriter::Version::Dm4);
        dm4.root().addDirectory("ImageList");
        s_dm4 = std::make_unique<plugintest::TemporaryFile>(dm4.toBytes(), ".dm4");
    }
    static void TearDownTestSuite() {
        s_dm3.reset();
        s_dm4.reset();
    }
    static std::unique_ptr<plugintest::TemporaryFile> s_dm3;
    static std::unique_ptr<plugintest::TemporaryFile> s_dm4;
};

std::unique_ptr<plugintest::TemporaryFile> PluginLog::s_dm3;
std::unique_ptr<plugintest::TemporaryFile> PluginLog::s_dm4;

} // namespace

TEST_F(PluginLog, DebugLevelTracesTheWholeOpen) {
    const ProbeResult r = runProbe({s_dm3->path(), "5"});
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

TEST_F(PluginLog, InfoLevelWritesOnlyTheDatasetLine) {
    for (const auto& [file, expected] :
         {std::pair{s_dm3.get(), "DM3 dataset"}, std::pair{s_dm4.get(), "DM4 dataset"}}) {
        const ProbeResult r = runProbe({file->path(), "4"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const auto out = lines(r.out);
        ASSERT_EQ(out.size(), 1u) << r.out;
        EXPECT_TRUE(isRecord(out[0], "info", expected)) << out[0];
    }
}

TEST_F(PluginLog, LevelsBelowInfoAndNoInitialisationWriteNothing) {
    for (const std::string level : {"0", "1", "2", "3"}) {
        const ProbeResult r = runProbe({s_dm4->path(), level});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "") << "level " << level;
    }
    // Logging before initLog is dropped; the open itself works.
    const ProbeResult r = runProbe({s_dm4->path()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST_F(PluginLog, FirstLevelStaysInForce) {
    const ProbeResult quiet = runProbe({s_dm3->path(), "4", "6"});
    ASSERT_EQ(quiet.exitCode, 0) << quiet.err;
    EXPECT_EQ(lines(quiet.out).size(), 1u) << quiet.out;
    const ProbeResult verbose = runProbe({s_dm3->path(), "6", "0"});
    ASSERT_EQ(verbose.exitCode, 0) << verbose.err;
    EXPECT_GT(lines(verbose.out).size(), 5u) << verbose.out;
}

TEST_F(PluginLog, RefusesLevelsAboveSix) {
    for (const std::string level : {"7", "4294967295"}) {
        const ProbeResult r = runProbe({s_dm3->path(), level});
        EXPECT_EQ(r.exitCode, 1) << "one refused initLog";
        EXPECT_EQ(r.err, "unsupported log level\n");
    }
    // The refused level left the logger registered under the plugin's name, so a later
    // initialisation fails in the logging library instead of silently creating a second one.
    const ProbeResult again = runProbe({s_dm3->path(), "7", "5"});
    EXPECT_EQ(again.exitCode, 2) << "both initLog calls refused";
    EXPECT_TRUE(contains(again.err, "GatanPlugin")) << again.err;
}
