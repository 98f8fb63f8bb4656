// The command line itself: plugin listing, usage errors and their exit codes, the log level, and
// the failures of files that cannot be read.

#include "CliTestSupport.h"
#include "DmFileBuilder.h"
#include "TrestanProcess.h"

#include <gtest/gtest.h>

namespace trestan::clitest {
namespace {

TEST(FormatsCommand, ListsTheGatanPluginWithItsFormatAndExtensions) {
    const ProcessResult result = runTrestan({"formats"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("GatanPlugin 2.0.0"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("formats: DM\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("extensions: dm3, dm4\n"), std::string::npos) << result.out;
    EXPECT_EQ(result.err, "");
}

TEST(FormatsCommand, JsonListsEachPluginWithSortedExtensions) {
    const ProcessResult result = runTrestan({"formats", "--json"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const nlohmann::json plugins = parseJson(result.out);
    ASSERT_TRUE(plugins.is_array());
    const nlohmann::json* gatan = nullptr;
    for (const nlohmann::json& plugin : plugins) {
        if (plugin.value("name", "") == "GatanPlugin") {
            gatan = &plugin;
        }
    }
    ASSERT_NE(gatan, nullptr) << result.out;
    EXPECT_EQ((*gatan)["version"], "2.0.0");
    EXPECT_EQ((*gatan)["formats"], nlohmann::json::array({"DM"}));
    EXPECT_EQ((*gatan)["extensions"], nlohmann::json::array({"dm3", "dm4"}));
}

TEST(UsageErrors, ExitWithCodeTwoAndAMessageOnStandardError) {
    ScratchDirectory scratch;
    const std::string good = scratch.file("good.dm4");
    writeDmFile(good, {dmImage(6, {2, 2}, {1, 2, 3, 4})});

    const std::vector<std::vector<std::string>> cases = {
        {},                                 // no subcommand
        {"frobnicate"},                     // unknown subcommand
        {"info"},                           // no file
        {"tree"},                           // no file
        {"tree", good, "--depth", "-1"},    // negative depth
        {"info", "--no-such-option", good}, // unknown option
        {"--log-level", "9", "formats"},    // level outside 0 to 6
        {"--log-level", "many", "formats"}, // level not a number
        {"export", good},                   // no output
        {"export", good, "-o", scratch.file("x.npy"), "--frame", "-2"},
        {"export", good, "-o", scratch.file("x.npy"), "--frame", "two"},
    };
    for (const std::vector<std::string>& arguments : cases) {
        std::string line;
        for (const std::string& argument : arguments) {
            line += argument + " ";
        }
        SCOPED_TRACE("trestan " + line);
        const ProcessResult result = runTrestan(arguments);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(result.err.rfind("trestan: ", 0), 0U) << result.err;
        EXPECT_EQ(result.out, "");
    }
}

TEST(UsageErrors, HelpExitsWithZeroAndNamesTheCommands) {
    const ProcessResult result = runTrestan({"--help"});
    EXPECT_EQ(result.exitCode, 0);
    for (const char* command : {"formats", "info", "tree", "export"}) {
        EXPECT_NE(result.out.find(command), std::string::npos) << command;
    }
}

TEST(FileErrors, MissingFileExitsWithOneAndNamesTheFile) {
    ScratchDirectory scratch;
    const std::string missing = scratch.file("missing.dm4");
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{"info", missing},
                                                      {"info", "--json", missing},
                                                      {"tree", missing},
                                                      {"export", missing, "-o", scratch.file("out.npy")}}) {
        SCOPED_TRACE(arguments.front());
        const ProcessResult result = runTrestan(arguments);
        EXPECT_EQ(result.exitCode, 1);
        ASSERT_EQ(result.errLines().size(), 1U) << result.err;
        EXPECT_EQ(result.err.rfind("trestan: " + missing + ": ", 0), 0U) << result.err;
        EXPECT_EQ(result.out, "");
    }
}

TEST(FileErrors, UnsupportedVersionIsReportedWithTheVersion) {
    ScratchDirectory scratch;
    const std::string file = scratch.file("version5.dm4");
    writeHeaderOnlyFile(file, 5);
    const ProcessResult result = runTrestan({"info", file});
    EXPECT_EQ(result.exitCode, 1);
    ASSERT_EQ(result.errLines().size(), 1U) << result.err;
    EXPECT_EQ(result.err.rfind("trestan: " + file + ": ", 0), 0U) << result.err;
    EXPECT_NE(result.err.find("Unsupported version 5"), std::string::npos) << result.err;
}

TEST(FileErrors, ExtensionWithoutPluginIsRefusedByName) {
    ScratchDirectory scratch;
    const std::string file = scratch.file("image.xyz");
    writeDmFile(file, {dmImage(6, {2, 2}, {1, 2, 3, 4})});
    const ProcessResult result = runTrestan({"info", file});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "trestan: " + file + ": no plugin reads '.xyz' files\n");

    const ProcessResult bare = runTrestan({"tree", scratch.file("README")});
    EXPECT_EQ(bare.exitCode, 1);
    EXPECT_NE(bare.err.find("no plugin reads"), std::string::npos) << bare.err;
}

TEST(FileErrors, ExtensionIsMatchedWithoutRegardToCase) {
    ScratchDirectory scratch;
    const std::string file = scratch.file("IMAGE.DM4");
    writeDmFile(file, {dmImage(6, {2, 2}, {1, 2, 3, 4})});
    const ProcessResult result = runTrestan({"info", file});
    EXPECT_EQ(result.exitCode, 0) << result.err;
}

TEST(FileErrors, OutputThatCannotBeWrittenExitsWithOne) {
    ScratchDirectory scratch;
    const std::string file = scratch.file("image.dm4");
    writeDmFile(file, {dmImage(6, {2, 2}, {1, 2, 3, 4})});
    const ProcessResult result =
        runProcess("/bin/sh", {"-c", "exec \"$0\" tree --json \"$1\" >/dev/full", trestanPath(), file});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "trestan: cannot write to standard output\n");
}

TEST(LogLevel, PluginLogLinesAppearOnlyWhenAskedFor) {
    ScratchDirectory scratch;
    const std::string file = scratch.file("image.dm4");
    writeDmFile(file, {dmImage(6, {2, 2}, {1, 2, 3, 4})});

    const ProcessResult quiet = runTrestan({"info", "--json", file});
    ASSERT_EQ(quiet.exitCode, 0) << quiet.err;
    EXPECT_EQ(quiet.out.find("DM4 dataset"), std::string::npos) << quiet.out;
    EXPECT_TRUE(parseJson(quiet.out).is_object());

    // Level 4 lets the plugin's info lines through, on standard output.
    const ProcessResult talkative = runTrestan({"--log-level", "4", "info", file});
    ASSERT_EQ(talkative.exitCode, 0) << talkative.err;
    EXPECT_NE(talkative.out.find("DM4 dataset"), std::string::npos) << talkative.out;

    // The option is also accepted after the subcommand.
    const ProcessResult after = runTrestan({"info", file, "--log-level", "4"});
    ASSERT_EQ(after.exitCode, 0) << after.err;
    EXPECT_NE(after.out.find("DM4 dataset"), std::string::npos) << after.out;

    const ProcessResult off = runTrestan({"--log-level", "0", "info", file});
    ASSERT_EQ(off.exitCode, 0) << off.err;
    EXPECT_EQ(off.out.find("DM4 dataset"), std::string::npos) << off.out;
}

TEST(Sample, ReadmeCommandShowsTheSampleFrames) {
    const std::optional<std::string> sample = samplePath();
    if (!sample) {
        GTEST_SKIP() << "samples/sample.dm4 has not been generated";
    }
    const ProcessResult result = runTrestan({"info", *sample});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("format: DM (GatanPlugin 2.0.0)"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("frames: 2"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("frame 0: 64 x 64 rgb8, RGB"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("frame 1: 128 x 128 int16, GRAYSCALE"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("spacing (0.25, 0.25, 1) nm"), std::string::npos) << result.out;
}

} // namespace
} // namespace trestan::clitest
