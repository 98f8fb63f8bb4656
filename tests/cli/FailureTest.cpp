// Failures of the trestan command that must leave things as they were and say why: an export whose
// write fails midway, and a frame too large for memory.

#include "CliTestSupport.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
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

TEST(FrameTooLargeForMemory, ChecksumAndExportSayWhatTheFrameNeeds) {
    // A file of about a kilobyte declaring a 1,000,000 x 1,000,000 float64 image: it opens (the
    // pixels it lacks read as zeros), but no machine holds the frame's 8 TB.
    ScratchDirectory scratch;
    const std::string input = scratch.file("huge.dm4");
    dmwriter::ImageDefinition image = dmImage(12, {1, 1}, Bytes(64, 0));
    image.dimensions = {1000000, 1000000};
    writeDmFile(input, {image});
    ASSERT_LT(std::filesystem::file_size(input), 2048U);
    const std::string need =
        "its 1000000 x 1000000 float64 pixels need 8000000000000 bytes of memory, more than the " +
        std::to_string(static_cast<std::uint64_t>(::sysconf(_SC_PHYS_PAGES)) *
                       static_cast<std::uint64_t>(::sysconf(_SC_PAGE_SIZE))) +
        " this machine has\n";

    const ProcessResult info = runTrestan({"info", "--checksum", input});
    EXPECT_EQ(info.exitCode, 1);
    EXPECT_EQ(info.err, "trestan: " + input + ": frame 0: cannot compute its checksum: " + need);

    const std::string output = scratch.file("huge.npy");
    const ProcessResult exported = runTrestan({"export", input, "-o", output});
    EXPECT_EQ(exported.exitCode, 1);
    EXPECT_EQ(exported.err, "trestan: " + input + ": frame 0: " + need);
    EXPECT_FALSE(std::filesystem::exists(output));
}

} // namespace
} // namespace trestan::clitest
