// Real DM files of the shared corpus: `trestan tree --json` against the expected trees, `trestan
// info --json --checksum` against the manifest, and every frame's exports read back with their own
// libraries.
// Every test skips when the corpus is absent.

#include "CliTestSupport.h"
#include "ImageFileReaders.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <png.h>
#include <tiffio.h>

namespace trestan::clitest {
namespace {

const std::filesystem::path s_corpus(TRESTAN_TEST_CORPUS_DIR);

#define SKIP_WITHOUT_CORPUS()                                                                                \
    if (!std::filesystem::is_regular_file(s_corpus / "manifest.json")) {                                     \
        GTEST_SKIP() << "no corpus at " << s_corpus;                                                         \
    }

// The manifest: file names, in order, with what their frames hold.
const nlohmann::json& manifest() {
    static const nlohmann::json s_manifest = nlohmann::json::parse(std::ifstream(s_corpus / "manifest.json"));
    return s_manifest;
}

std::string corpusFile(const std::string& name) {
    return (s_corpus / name).string();
}

// Bytes per element and NumPy type of each data type name.
const std::pair<std::size_t, std::string>& typeOf(const std::string& dataType) {
    static const std::map<std::string, std::pair<std::size_t, std::string>> s_types = {
        {"int8", {1, "|i1"}},         {"uint8", {1, "|u1"}},   {"int16", {2, "<i2"}},
        {"uint16", {2, "<u2"}},       {"int32", {4, "<i4"}},   {"uint32", {4, "<u4"}},
        {"float32", {4, "<f4"}},      {"float64", {8, "<f8"}}, {"complex64", {8, "<c8"}},
        {"complex128", {16, "<c16"}}, {"rgb8", {3, "|u1"}}};
    return s_types.at(dataType);
}

TEST(Corpus, TreeJsonEqualsTheExpectedTreeForEveryFile) {
    SKIP_WITHOUT_CORPUS();
    for (const auto& [name, entry] : manifest().items()) {
        SCOPED_TRACE(name);
        const ProcessResult result = runTrestan({"tree", "--json", corpusFile(name)});
        ASSERT_EQ(result.exitCode, 0) << result.err;
        const nlohmann::json expected =
            nlohmann::json::parse(std::ifstream(s_corpus / "expected" / (name + ".tree.json")));
        const nlohmann::json actual = parseJson(result.out);
        const std::optional<std::string> difference = compareTrees(actual, expected);
        EXPECT_FALSE(difference) << difference.value_or("");
    }
}

TEST(Corpus, InfoJsonAgreesWithTheManifestForEveryFile) {
    SKIP_WITHOUT_CORPUS();
    for (const auto& [name, entry] : manifest().items()) {
        SCOPED_TRACE(name);
        const ProcessResult result = runTrestan({"info", "--json", "--checksum", corpusFile(name)});
        ASSERT_EQ(result.exitCode, 0) << result.err;
        const nlohmann::json info = parseJson(result.out);
        EXPECT_EQ(info["file"], corpusFile(name));
        EXPECT_EQ(info["format"], "DM");
        const nlohmann::json& expectedFrames = entry["frames"];
        ASSERT_EQ(info["frames"].size(), expectedFrames.size());
        for (std::size_t i = 0; i < expectedFrames.size(); ++i) {
            SCOPED_TRACE("frame " + std::to_string(i));
            const nlohmann::json& expected = expectedFrames[i];
            const nlohmann::json& actual = info["frames"][i];
            EXPECT_EQ(actual["index"], expected["index"]);
            EXPECT_EQ(actual["shape"], expected["shape"]);
            EXPECT_EQ(actual["dataType"], expected["dataType"]);
            EXPECT_EQ(actual["dataTypeId"], expected["dataTypeId"]);
            EXPECT_EQ(actual["sha256"], expected["sha256"]);
            if (expected.contains("bitDepth")) {
                EXPECT_EQ(actual["bitDepth"], expected["bitDepth"]);
            }
            if (expected.contains("interpretation")) {
                EXPECT_EQ(actual["interpretation"], expected["interpretation"]);
            }
            if (expected.contains("calibration")) {
                const nlohmann::json& calibration = expected["calibration"];
                // The numbers are float32 in the file: compared after rounding both to float.
                for (const char* key : {"origin", "spacing"}) {
                    EXPECT_EQ(actual["calibration"][key].get<std::vector<float>>(),
                              calibration[key].get<std::vector<float>>())
                        << key;
                }
                EXPECT_EQ(actual["calibration"]["unit"], calibration["unit"]);
            }
        }
    }
}

TEST(Corpus, EveryFrameExportsToNpyTiffAndPngThatTheirOwnReadersOpen) {
    SKIP_WITHOUT_CORPUS();
    ScratchDirectory scratch;
    for (const auto& [name, entry] : manifest().items()) {
        for (const nlohmann::json& frame : entry["frames"]) {
            const std::string index = std::to_string(frame["index"].get<std::size_t>());
            SCOPED_TRACE(name + " frame " + index);
            const auto exportAs = [&](const std::string& extension) {
                const std::string output = scratch.file(name + "." + index + extension);
                return std::make_pair(
                    runTrestan({"export", corpusFile(name), "-o", output, "--frame", index}), output);
            };
            const std::string dataType = frame["dataType"];
            const std::vector<std::size_t> shape = frame["shape"].get<std::vector<std::size_t>>();

            const auto [npyResult, npyPath] = exportAs(".npy");
            ASSERT_EQ(npyResult.exitCode, 0) << npyResult.err;
            const NpyArray array = readNpy(npyPath);
            EXPECT_EQ(array.descr, typeOf(dataType).second);
            EXPECT_FALSE(array.fortranOrder);
            std::vector<std::size_t> reversed(shape.rbegin(), shape.rend());
            if (dataType == "rgb8") {
                reversed.push_back(3);
            }
            EXPECT_EQ(array.shape, reversed);
            EXPECT_EQ(sha256Hex(array.data), frame["sha256"]);

            const auto [tiffResult, tiffPath] = exportAs(".tif");
            if (dataType.rfind("complex", 0) == 0) {
                EXPECT_EQ(tiffResult.exitCode, 2);
                EXPECT_NE(tiffResult.err.find(".npy"), std::string::npos) << tiffResult.err;
            } else {
                ASSERT_EQ(tiffResult.exitCode, 0) << tiffResult.err;
                const std::vector<TiffPage> pages = readTiff(tiffPath);
                ASSERT_EQ(pages.size(), shape.size() > 2 ? shape[2] : 1U);
                Bytes all;
                for (const TiffPage& page : pages) {
                    EXPECT_EQ(page.width, shape[0]);
                    EXPECT_EQ(page.height, shape.size() > 1 ? shape[1] : 1U);
                    EXPECT_EQ(page.samplesPerPixel, dataType == "rgb8" ? 3 : 1);
                    EXPECT_EQ(page.bitsPerSample, 8 * (dataType == "rgb8" ? 1 : typeOf(dataType).first));
                    all.insert(all.end(), page.pixels.begin(), page.pixels.end());
                }
                EXPECT_EQ(sha256Hex(all), frame["sha256"]) << "the TIFF pixels are the region bytes";
            }

            const auto [pngResult, pngPath] = exportAs(".png");
            if (shape.size() < 2) {
                EXPECT_EQ(pngResult.exitCode, 2);
                continue;
            }
            ASSERT_EQ(pngResult.exitCode, 0) << pngResult.err;
            const PngImage image = readPng(pngPath);
            EXPECT_EQ(image.width, shape[0]);
            EXPECT_EQ(image.height, shape[1]);
            EXPECT_EQ(image.bitDepth, 8);
            EXPECT_EQ(image.colourType, dataType == "rgb8" ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY);
            if (dataType == "rgb8" && shape.size() == 2) {
                EXPECT_EQ(sha256Hex(image.pixels), frame["sha256"])
                    << "colour pixels are written as they are";
            }
        }
    }
}

} // namespace
} // namespace trestan::clitest
