// `trestan info`: the summary of files made with our DM writer, for people and as JSON.

#include "CliTestSupport.h"

#include <gtest/gtest.h>

namespace trestan::clitest {
namespace {

// A calibrated 4 x 3 unsigned 16-bit image and a 1-D float spectrum.
struct TwoFrameFile {
    std::string path;
    Bytes imagePixels;
    Bytes spectrumPixels;
};

TwoFrameFile writeTwoFrameFile(const ScratchDirectory& scratch, const std::string& name) {
    TwoFrameFile file{scratch.file(name), {}, {}};
    std::vector<std::uint16_t> image(12);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint16_t>(1000 * i + 7);
    }
    file.imagePixels = pixelBytes(image);
    file.spectrumPixels = pixelBytes(std::vector<float>{0.5F, -1.25F, 3.0F, 1e-3F, 2.0F});

    dmwriter::ImageDefinition calibrated = dmImage(10, {4, 3}, file.imagePixels);
    calibrated.calibrations =
        std::vector<dmwriter::AxisCalibration>{{1.5F, 0.25F, u"nm"}, {-2.0F, 0.5F, u"nm"}};
    dmwriter::ImageDefinition spectrum = dmImage(2, {5}, file.spectrumPixels);
    spectrum.calibrations = std::vector<dmwriter::AxisCalibration>{{100.0F, 0.125F, u"eV"}};
    writeDmFile(file.path, {calibrated, spectrum});
    return file;
}

TEST(Info, DescribesEveryFrameAsJsonAndAsText) {
    ScratchDirectory scratch;
    const TwoFrameFile file = writeTwoFrameFile(scratch, "two.dm4");
    const ProcessResult result = runTrestan({"info", "--json", "--checksum", file.path});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const nlohmann::json info = parseJson(result.out);
    ASSERT_TRUE(info.is_object()) << result.out;

    EXPECT_EQ(info["file"], file.path);
    EXPECT_EQ(info["format"], "DM");
    EXPECT_EQ(info["plugin"], "GatanPlugin");
    EXPECT_EQ(info["pluginVersion"], "2.0.0");
    ASSERT_EQ(info["frames"].size(), 2U);

    const nlohmann::json& image = info["frames"][0];
    EXPECT_EQ(image["index"], 0);
    EXPECT_EQ(image["shape"], nlohmann::json::array({4, 3}));
    EXPECT_EQ(image["dataType"], "uint16");
    EXPECT_EQ(image["dataTypeId"], 0x10110);
    EXPECT_EQ(image["bitDepth"], 16);
    EXPECT_EQ(image["interpretation"], 1);
    EXPECT_EQ(image["valueRange"], nlohmann::json::array({0.0, 65535.0}));
    EXPECT_EQ(image["calibration"]["origin"], nlohmann::json::array({1.5, -2.0, 0.0}));
    EXPECT_EQ(image["calibration"]["spacing"], nlohmann::json::array({0.25, 0.5, 1.0}));
    EXPECT_EQ(image["calibration"]["unit"], "nm");
    EXPECT_EQ(image["viewOrigin"]["displayName"], "GatanPlugin frame Extractor");
    EXPECT_EQ(image["viewOrigin"]["dataOrigin"], 2); // opened from a path
    EXPECT_EQ(image["viewOrigin"]["parentCount"], 1);
    EXPECT_EQ(image["sha256"], sha256Hex(file.imagePixels));

    const nlohmann::json& spectrum = info["frames"][1];
    EXPECT_EQ(spectrum["index"], 1);
    EXPECT_EQ(spectrum["shape"], nlohmann::json::array({5}));
    EXPECT_EQ(spectrum["dataType"], "float32");
    EXPECT_EQ(spectrum["dataTypeId"], 0x30120);
    EXPECT_EQ(spectrum["calibration"]["origin"], nlohmann::json::array({100.0, 0.0, 0.0}));
    EXPECT_EQ(spectrum["calibration"]["spacing"], nlohmann::json::array({0.125, 1.0, 1.0}));
    EXPECT_EQ(spectrum["calibration"]["unit"], "eV");
    EXPECT_EQ(spectrum["sha256"], sha256Hex(file.spectrumPixels));
    const nlohmann::json& range = spectrum["valueRange"];
    ASSERT_EQ(range.size(), 2U);
    EXPECT_EQ(range[0].get<double>(), -static_cast<double>(std::numeric_limits<float>::max()));
    EXPECT_EQ(range[1].get<double>(), static_cast<double>(std::numeric_limits<float>::max()));

    // The checksum is left out unless asked for.
    const ProcessResult plain = runTrestan({"info", "--json", file.path});
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    const nlohmann::json plainInfo = parseJson(plain.out);
    ASSERT_EQ(plainInfo["frames"].size(), 2U);
    EXPECT_FALSE(plainInfo["frames"][0].contains("sha256"));
    EXPECT_FALSE(plainInfo["frames"][1].contains("sha256"));

    // For people: the file and one line per frame.
    const ProcessResult text = runTrestan({"info", file.path});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("file: " + file.path + "\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("format: DM (GatanPlugin 2.0.0)\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("metadata nodes: "), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("frames: 2\n"), std::string::npos) << text.out;
    EXPECT_NE(
        text.out.find("frame 0: 4 x 3 uint16, GRAYSCALE, origin (1.5, -2, 0) spacing (0.25, 0.5, 1) nm"),
        std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("frame 1: 5 float32, GRAYSCALE, origin (100, 0, 0) spacing (0.125, 1, 1) eV"),
              std::string::npos)
        << text.out;
}

TEST(InfoJson, ColourAndBinaryFramesCarryTheirOwnSettings) {
    ScratchDirectory scratch;
    const std::string path = scratch.file("colour.dm3");
    // Colour pixels take four bytes of which the region read keeps the first three.
    const Bytes stored = {1,  2,  3,  99, 4,  5,  6,  99, 7,  8,  9,  99,
                          10, 11, 12, 99, 13, 14, 15, 99, 16, 17, 18, 99};
    const Bytes packed = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    writeDmFile(path, {dmImage(23, {3, 2}, stored), dmImage(14, {3, 2}, {0, 1, 1, 0, 0, 1})},
                dmwriter::Version::Dm3);

    const ProcessResult result = runTrestan({"info", "--json", "--checksum", path});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const nlohmann::json info = parseJson(result.out);
    ASSERT_EQ(info["frames"].size(), 2U);
    const nlohmann::json& colour = info["frames"][0];
    EXPECT_EQ(colour["dataType"], "rgb8");
    EXPECT_EQ(colour["dataTypeId"], 0x10308);
    EXPECT_EQ(colour["interpretation"], 33);
    EXPECT_EQ(colour["sha256"], sha256Hex(packed));
    const nlohmann::json& binary = info["frames"][1];
    EXPECT_EQ(binary["dataType"], "uint8");
    EXPECT_EQ(binary["bitDepth"], 1);
    EXPECT_EQ(binary["interpretation"], 3);
    EXPECT_EQ(binary["valueRange"], nlohmann::json::array({0.0, 1.0}));
}

TEST(InfoSeveralFiles, AFailingFileDoesNotStopTheOthers) {
    ScratchDirectory scratch;
    const TwoFrameFile first = writeTwoFrameFile(scratch, "first.dm4");
    const std::string missing = scratch.file("missing.dm3");
    const std::string version5 = scratch.file("version5.dm3");
    writeDmFile(version5, {}, dmwriter::Version::Dm3, 5);
    const std::string last = scratch.file("last.dm3");
    writeDmFile(last, {dmImage(9, {2}, {0xFF, 0x01})}, dmwriter::Version::Dm3);

    const ProcessResult result = runTrestan({"info", "--json", first.path, missing, version5, last});
    EXPECT_EQ(result.exitCode, 1);
    const std::vector<std::string> errors = result.errLines();
    ASSERT_EQ(errors.size(), 2U) << result.err;
    EXPECT_EQ(errors[0].rfind("trestan: " + missing + ": ", 0), 0U) << errors[0];
    EXPECT_EQ(errors[1].rfind("trestan: " + version5 + ": ", 0), 0U) << errors[1];
    EXPECT_NE(errors[1].find("Unsupported version 5"), std::string::npos) << errors[1];

    const nlohmann::json files = parseJson(result.out);
    ASSERT_TRUE(files.is_array()) << result.out;
    ASSERT_EQ(files.size(), 2U);
    EXPECT_EQ(files[0]["file"], first.path);
    EXPECT_EQ(files[0]["frames"].size(), 2U);
    EXPECT_EQ(files[1]["file"], last);
    EXPECT_EQ(files[1]["frames"][0]["dataType"], "int8");

    const ProcessResult text = runTrestan({"info", first.path, missing, last});
    EXPECT_EQ(text.exitCode, 1);
    EXPECT_NE(text.out.find("file: " + first.path), std::string::npos);
    EXPECT_NE(text.out.find("file: " + last), std::string::npos);

    // All good files: exit 0, one JSON document per file.
    const ProcessResult good = runTrestan({"info", "--json", first.path, last});
    EXPECT_EQ(good.exitCode, 0) << good.err;
    EXPECT_EQ(parseJson(good.out).size(), 2U);
}

} // namespace
} // namespace trestan::clitest
