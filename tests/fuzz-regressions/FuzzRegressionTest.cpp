// Inputs that the fuzzer or a hostile-input sweep found at fault (a hang, an allocation larger than
// the file, a crash), kept for good: each runs as the fuzzer runs it, is held to the sweeps' rules
// (allowed exceptions only, bounded time, no allocation beyond the input), and must end with the
// outcome that outcomes.txt records for it.

#include "ByteSources.h"
#include "Sweep.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::filesystem::path s_directory =
    std::filesystem::path(TRESTAN_TEST_SOURCE_DIR) / "tests" / "fuzz-regressions";

/// outcomes.txt: input name to outcome name.
std::map<std::string, std::string> recordedOutcomes() {
    std::ifstream in(s_directory / "outcomes.txt");
    std::map<std::string, std::string> outcomes;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        std::string name;
        std::string outcome;
        fields >> name >> outcome;
        outcomes[name] = outcome;
    }
    return outcomes;
}

std::vector<std::string> inputNames() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(s_directory / "inputs")) {
        if (entry.is_regular_file()) {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

class FuzzRegression : public ::testing::TestWithParam<std::string> {};

std::string testName(const ::testing::TestParamInfo<std::string>& info) {
    std::string name = info.param;
    std::replace_if(
        name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
}

} // namespace

TEST_P(FuzzRegression, EndsAsRecordedWithinTheRules) {
    const std::string name = GetParam();
    const hostile::Bytes bytes = testsupport::readFile(s_directory / "inputs" / name);
    ASSERT_FALSE(bytes.empty()) << name;

    hostile::Sweep sweep("fuzz regression " + name);
    sweep.run(bytes, [&name] { return name; });
    sweep.finish();

    const auto outcomes = recordedOutcomes();
    const auto recorded = outcomes.find(name);
    ASSERT_NE(recorded, outcomes.end()) << name << " has no line in outcomes.txt";
    std::string ended = "a broken rule";
    for (auto outcome : {gatanfuzz::Outcome::Opened, gatanfuzz::Outcome::Refused,
                         gatanfuzz::Outcome::LengthError, gatanfuzz::Outcome::OutOfMemory}) {
        if (sweep.count(outcome) == 1) {
            ended = gatanfuzz::outcomeName(outcome);
        }
    }
    EXPECT_EQ(ended, recorded->second) << name;
}

INSTANTIATE_TEST_SUITE_P(Inputs, FuzzRegression, ::testing::ValuesIn(inputNames()), testName);
