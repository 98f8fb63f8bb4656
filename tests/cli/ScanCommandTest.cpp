// `trestan scan` over a directory tree with a damaged file in it, and the microscopy metadata that
// `trestan info` adds per image, on the bundled sample.

#include "CliTestSupport.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace trestan::clitest {
namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        result.push_back(line);
    }
    return result;
}

TEST(ScanCommand, WalksDirectoriesReportsADamagedFileInPlaceAndFailsAtTheEnd) {
    ScratchDirectory scratch;
    std::filesystem::create_directory(scratch.path() / "sub");
    writeDmFile(scratch.file("a.dm4"), {dmImage(10, {4, 3}, pixelBytes(std::vector<std::uint16_t>(12, 7)))});
    writeDmFile(scratch.file("sub/b.DM3"), {dmImage(2, {5}, pixelBytes(std::vector<float>(5, 1.5F)))},
                dmwriter::Version::Dm3);
    writeDmFile(scratch.file("c.txt"), {dmImage(6, {2}, {1, 2})}); // not a DM name: not walked into
    Bytes damaged = readFile(scratch.file("a.dm4"));
    damaged.resize(damaged.size() / 2);
    {
        std::ofstream(scratch.file("d.dm4"), std::ios::binary)
            .write(reinterpret_cast<const char*>(damaged.data()),
                   static_cast<std::streamsize>(damaged.size()));
    }

    const ProcessResult scan = runTrestan({"scan", "-j", "2", scratch.path().string()});
    EXPECT_EQ(scan.exitCode, 1);
    const std::vector<std::string> output = lines(scan.out);
    ASSERT_EQ(output.size(), 3U) << scan.out;
    const nlohmann::json first = parseJson(output[0]);
    EXPECT_EQ(first["path"], scratch.file("a.dm4"));
    EXPECT_EQ(first["size"], std::filesystem::file_size(scratch.file("a.dm4")));
    EXPECT_EQ(first["format"], "DM");
    EXPECT_EQ(first["frames"][0]["shape"], nlohmann::json({4, 3}));
    EXPECT_EQ(first["frames"][0]["type"], "uint16");
    EXPECT_EQ(first["metadata"]["shape"], nlohmann::json({3, 4}));
    const nlohmann::json broken = parseJson(output[1]);
    EXPECT_EQ(broken["path"], scratch.file("d.dm4"));
    EXPECT_FALSE(broken.contains("frames"));
    EXPECT_FALSE(broken.value("error", "").empty());
    EXPECT_EQ(parseJson(output[2])["frames"][0]["type"], "float32");

    const ProcessResult csv = runTrestan({"scan", "--csv", scratch.file("[ad].dm4")});
    EXPECT_EQ(csv.exitCode, 1);
    const std::vector<std::string> rows = lines(csv.out);
    ASSERT_EQ(rows.size(), 3U) << csv.out;
    EXPECT_EQ(rows[0].rfind("path,size,format,frames,main,shape,type,", 0), 0U) << rows[0];
    EXPECT_EQ(rows[1].rfind(scratch.file("a.dm4") + ",", 0), 0U) << rows[1];
    EXPECT_NE(rows[1].find(",3x4,uint16,"), std::string::npos) << rows[1];
    EXPECT_EQ(rows[1].back(), ','); // no error
    EXPECT_NE(rows[2].back(), ',');

    EXPECT_EQ(runTrestan({"scan", scratch.file("a.dm4"), scratch.file("sub")}).exitCode, 0);
}

TEST(InfoCommand, MarksThumbnailsAndGivesEachImageItsMicroscopyMetadata) {
    const std::string sample = std::string(TRESTAN_TEST_SOURCE_DIR) + "/samples/sample.dm4";
    const nlohmann::json info = parseJson(runTrestan({"info", "--json", sample}).out);
    ASSERT_EQ(info["frames"].size(), 2U);
    EXPECT_TRUE(info["frames"][0]["thumbnail"]);
    EXPECT_FALSE(info["frames"][0].contains("metadata"));
    EXPECT_TRUE(info["frames"][1]["main"]);
    const nlohmann::json& metadata = info["frames"][1]["metadata"];
    EXPECT_EQ(metadata["frame"], 1);
    EXPECT_EQ(metadata["General"]["title"], "Au nanoparticles");
    EXPECT_EQ(metadata["Acquisition_instrument"]["TEM"]["beam_energy"], 200.0);

    const std::string text = runTrestan({"info", sample}).out;
    EXPECT_NE(text.find("[thumbnail]"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Au nanoparticles\": image, 200 kV, x300000, 2024-12-05 10:42:17"),
              std::string::npos)
        << text;
}

} // namespace
} // namespace trestan::clitest
