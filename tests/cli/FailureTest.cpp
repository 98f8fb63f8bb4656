// Failures of the trestan command that must leave things as they were and say why: an export whose
// write fails midway.

#include "CliTestSupport.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace trestan::clitest {
namespace {

/// The names in a directory, sorted.
std::vector<std::string> listing(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

void writeBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TEST(ExportFailure, WriteThatFailsMidwayLeavesTheTargetAsItWasAndNothingElse) {
    ScratchDirectory scratch;
    const std::string input = scratch.file("a.dm4");
    // 128 x 128 uint16 pixels that compress poorly: every format needs more than 4 KiB.
    Bytes pixels(128 * 128 * 2);
    std::uint32_t state = 12345;
    for (std::uint8_t& byte : pixels) {
        state = state * 1103515245U + 12345U;
        byte = static_cast<std::uint8_t>(state >> 16);
    }
    writeDmFile(input, {dmImage(10, {128, 128}, pixels)});
    const Bytes previous = {'p', 'r', 'e', 'v', 'i', 'o', 'u', 's'};
    for (const std::string name : {"out.npy", "out.tif", "out.png", "out.raw"}) {
        SCOPED_TRACE(name);
        const std::string output = scratch.file(name);
        writeBytes(output, previous);
        // The shell limits the size of files the command may write to 4 KiB and ignores the signal
        // that would stop it, so the write past the limit fails with EFBIG.
        const ProcessResult failed =
            runProcess("/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 8; exec \"$0\" export \"$1\" -o \"$2\"",
                                   trestanPath(), input, output});
        EXPECT_EQ(failed.exitCode, 1);
        EXPECT_EQ(failed.err.rfind("trestan: " + output + ": ", 0), 0U) << failed.err;
        EXPECT_EQ(readFile(output), previous);
        EXPECT_EQ(listing(scratch.path()), (std::vector<std::string>{"a.dm4", name}));

        // Without the limit the same export replaces the file, and again leaves nothing beside it.
        const ProcessResult replaced = runTrestan({"export", input, "-o", output});
        EXPECT_EQ(replaced.exitCode, 0) << replaced.err;
        EXPECT_GT(readFile(output).size(), pixels.size() / 2);
        EXPECT_EQ(listing(scratch.path()), (std::vector<std::string>{"a.dm4", name}));
        std::filesystem::remove(output);
    }
}

} // namespace
} // namespace trestan::clitest
