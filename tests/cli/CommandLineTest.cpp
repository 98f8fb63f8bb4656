// The command line itself: plugin listing, usage errors and their exit codes, the log level, and
// the failures of files that cannot be read.

#include "CliTestSupport.h"

#include <algorithm>
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

    const ProcessResult json = runTrestan({"formats", "--json"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const nlohmann::json plugins = parseJson(json.out);
    ASSERT_TRUE(plugins.is_array());
    const auto gatan = std::find_if(plugins.begin(), plugins.end(), [](const nlohmann::json& plugin) {
        return plugin.value("name", "") == "GatanPlugin";
    });
    ASSERT_NE(gatan, plugins.end()) << json.out;
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

TEST(FileErrors, ExtensionsAreMatchedWithoutRegardToCaseAndOthersAreRefusedByName) {
    ScratchDirectory scratch;
    const std::string upper = scratch.file("IMAGE.DM4");
    writeDmFile(upper, {dmImage(6, {2, 2}, {1, 2, 3, 4})});
    EXPECT_EQ(runTrestan({"info", upper}).exitCode, 0);

    const std::string file = scratch.file("image.xyz");
    std::filesystem::copy_file(upper, file);
    const ProcessResult result = runTrestan({"info", file});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "trestan: " + file + ": no plugin reads '.xyz' files\n");

    const ProcessResult bare = runTrestan({"tree", scratch.file("README")});
    EXPECT_EQ(bare.exitCode, 1);
    EXPECT_NE(bare.err.find("no plugin reads"), std::string::npos) << bare.err;
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

} // namespace
} // namespace trestan::clitest
