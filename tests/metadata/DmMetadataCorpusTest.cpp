// Every real file of the shared corpus mapped to microscopy metadata and compared with what
// microscopists' current reader makes of it (expected/NAME.metadata.json): floats to a relative
// 1e-9, everything else exactly. Skips when the corpus is absent.

#include "GatanTestSupport.h"
#include "trestan/gatan/DmMetadata.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const fs::path s_corpus(TRESTAN_TEST_CORPUS_DIR);

// The differences between `actual` and `expected`, one line each, named by their key path.
void compare(const json& actual, const json& expected, const std::string& path,
             std::vector<std::string>& out) {
    // Floats against floats within a relative 1e-9; integers (signed or not) by value.
    if (expected.is_number_float() || actual.is_number_float()) {
        const bool close =
            actual.is_number_float() && expected.is_number_float() &&
            std::fabs(actual.get<double>() - expected.get<double>()) <=
                1e-9 * std::max(std::fabs(actual.get<double>()), std::fabs(expected.get<double>()));
        if (!close) {
            out.push_back(path + ": " + actual.dump() + " instead of " + expected.dump());
        }
        return;
    }
    if (expected.is_number_integer() && actual.is_number_integer()) {
        if (actual != expected) {
            out.push_back(path + ": " + actual.dump() + " instead of " + expected.dump());
        }
        return;
    }
    if (expected.is_object() && actual.is_object()) {
        for (const auto& [key, value] : expected.items()) {
            if (!actual.contains(key)) {
                out.push_back(path + "/" + key + ": missing, expected " + value.dump());
            } else {
                compare(actual[key], value, path + "/" + key, out);
            }
        }
        for (const auto& [key, value] : actual.items()) {
            if (!expected.contains(key)) {
                out.push_back(path + "/" + key + ": not expected, holds " + value.dump());
            }
        }
        return;
    }
    if (expected.is_array() && actual.is_array() && expected.size() == actual.size()) {
        for (std::size_t i = 0; i < expected.size(); ++i) {
            compare(actual[i], expected[i], path + "[" + std::to_string(i) + "]", out);
        }
        return;
    }
    if (actual != expected || actual.type() != expected.type()) {
        out.push_back(path + ": " + actual.dump() + " instead of " + expected.dump());
    }
}

// The baseline reader gives every EDS detector an energy resolution of its own when the file has
// none; our mapping takes values from tags only, so that key is expected to be absent.
void dropBaselineDefaults(json& signal) {
    json& instrument = signal["Acquisition_instrument"];
    for (const char* microscope : {"TEM", "SEM"}) {
        if (instrument.contains(microscope) && instrument[microscope].contains("Detector") &&
            instrument[microscope]["Detector"].contains("EDS")) {
            instrument[microscope]["Detector"]["EDS"].erase("energy_resolution_MnKa");
        }
    }
}

TEST(MetadataCorpus, EveryFileMapsToTheExpectedSignals) {
    if (!fs::is_directory(s_corpus / "expected")) {
        GTEST_SKIP() << "no corpus at " << s_corpus;
    }
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(s_corpus)) {
        if (fs::exists(s_corpus / "expected" / (entry.path().filename().string() + ".metadata.json"))) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 100U);
    for (const fs::path& file : files) {
        const std::string name = file.filename().string();
        json expected =
            json::parse(std::ifstream(s_corpus / "expected" / (name + ".metadata.json")))["signals"];
        for (json& signal : expected) {
            dropBaselineDefaults(signal);
        }
        const testsupport::ExtractorPtr extractor = testsupport::openPath(file.string());
        std::vector<std::string> differences;
        compare(trestan::gatan::signalsJson(*extractor), expected, "", differences);
        std::string report;
        for (const std::string& line : differences) {
            report += "\n  " + line;
        }
        EXPECT_TRUE(differences.empty()) << name << report;
    }
}

} // namespace
