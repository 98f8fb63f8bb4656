// Many threads at once open DM files through the plugin (loaded with the host's loader) by path, by
// stream and by random-access source, and read regions of shared frames while the opening thread
// lets go of them; each must see exactly what one thread alone sees: the same tree, frames, pixels
// and refusals. Run under ThreadSanitizer by the tsan preset.

#include "ByteSources.h"
#include "GatanExercise.h"
#include "WriterSeeds.h"
#include "dmwriter/DmImage.h"
#include "trestan/PluginLibrary.h"
#include "velmora/Extension.h"
#include "velmora/MetadataNode.h"
#include "velmora/StreamAccessFactory.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <latch>
#include <set>
#include <thread>

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr unsigned Threads = 8;

struct Input {
    std::string name;
    Bytes bytes;
    std::filesystem::path path = {}; ///< empty for inputs held in memory only
};

/// Runs `body(t, problems)` on Threads threads that start together, then reports what they saw.
void runThreads(const std::function<void(unsigned, std::vector<std::string>&)>& body) {
    std::latch start(Threads);
    std::vector<std::vector<std::string>> problems(Threads);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            body(t, problems[t]);
        });
    }
    for (unsigned t = 0; t < Threads; ++t) {
        threads[t].join();
        EXPECT_TRUE(problems[t].empty())
            << problems[t].size() << " problems, the first: " << problems[t].front();
    }
}

/// The writer's seeds of supported data types and a 512 x 384 float image whose whole-frame reads
/// take a while (as files too), the samples and the real files of the corpus when it exists.
const std::vector<Input>& openableInputs() {
    static std::vector<std::unique_ptr<testsupport::TemporaryFile>> s_files;
    static const std::vector<Input> s_inputs = [] {
        std::vector<Input> inputs;
        auto seeds = gatanfuzz::writerSeeds();
        seeds.push_back({"large", dmwriter::imageFile({dmwriter::rampImage(2, {512, 384})}).toBytes(), {}});
        for (auto& seed : seeds) {
            if (seed.name.find("refused") == std::string::npos) {
                s_files.push_back(std::make_unique<testsupport::TemporaryFile>(seed.bytes, ".dm"));
                inputs.push_back({seed.name, std::move(seed.bytes), s_files.back()->path()});
            }
        }
        std::vector<std::filesystem::path> files{std::filesystem::path(TRESTAN_TEST_SOURCE_DIR) / "samples"};
        if (std::filesystem::is_directory(TRESTAN_TEST_CORPUS_DIR)) {
            files.push_back(TRESTAN_TEST_CORPUS_DIR);
        }
        for (const auto& directory : files) {
            for (const auto& entry : std::filesystem::directory_iterator(directory)) {
                if (entry.path().extension() == ".dm3" || entry.path().extension() == ".dm4") {
                    inputs.push_back({entry.path().filename().string(), testsupport::readFile(entry.path()),
                                      entry.path()});
                }
            }
        }
        return inputs;
    }();
    return s_inputs;
}

/// The Gatan plugin, loaded once, logging at info as a host would (each open logs from its thread).
trestan::ExtractorPlugin& gatanPlugin() {
    static const auto s_library = [] {
        auto library =
            trestan::PluginLibrary::load(std::string(TRESTAN_TEST_PLUGIN_DIR) + "/libtrestan-gatan.so");
        library->plugin().initLog(velmora::LogLevel::Info);
        return library;
    }();
    return s_library->plugin();
}

/// Source 0: path, 1: stream, 2: random-access source.
std::shared_ptr<velmora::MultiImageView> open(const Input& input, int source) {
    if (source == 0) {
        return gatanPlugin().open(input.path.string(), "DM", trestan::OptionMap{});
    }
    if (source == 1) {
        return gatanPlugin().open(
            velmora::StreamAccessFactory::fromMemory(input.bytes.data(), input.bytes.size()), "DM",
            trestan::OptionMap{});
    }
    return gatanPlugin().open(
        std::shared_ptr<velmora::RandomAccess>(std::make_shared<testsupport::MemorySource>(input.bytes)),
        "DM", trestan::OptionMap{});
}

/// What opening gave: the fuzzer's checksum of the whole tree and of every frame's properties,
/// origin and pixels, or the refusal's message.
std::string outcome(const Input& input, int source) {
    try {
        gatanfuzz::Report report;
        gatanfuzz::inspect(*open(input, source), report);
        return "opened " + std::to_string(report.checksum);
    } catch (const std::exception& error) {
        return std::string("refused: ") + error.what();
    }
}

} // namespace

TEST(Concurrency, ThreadsOpeningFilesAndReadingSharedViewsSeeWhatOneThreadSees) {
    // The openable inputs by every source; the seeds cut short and with one byte inverted (most are
    // refused, some open) from memory.
    struct Case {
        const Input* input;
        int firstSource;
        std::vector<std::string> expected; ///< by source, from firstSource on
    };
    std::vector<Input> damaged;
    for (const auto& seed : gatanfuzz::writerSeeds()) {
        for (std::size_t cut = 5; cut < seed.bytes.size(); cut += seed.bytes.size() / 4) {
            damaged.push_back({seed.name + " cut to " + std::to_string(cut), seed.bytes});
            damaged.back().bytes.resize(cut);
            damaged.push_back({seed.name + " byte " + std::to_string(cut) + " inverted", seed.bytes});
            damaged.back().bytes[cut] ^= 0xFF;
        }
    }
    std::vector<Case> cases;
    std::size_t refused = 0;
    for (const Input& input : openableInputs()) {
        cases.push_back({&input, 0, {}});
    }
    for (const Input& input : damaged) {
        cases.push_back({&input, 1, {}});
    }
    for (Case& c : cases) {
        for (int source = c.firstSource; source < 3; ++source) {
            c.expected.push_back(outcome(*c.input, source));
            refused += c.expected.back().starts_with("refused") ? 1 : 0;
        }
        EXPECT_TRUE(c.firstSource != 0 || c.expected.front().starts_with("opened")) << c.expected.front();
    }
    EXPECT_GT(refused, damaged.size()) << "of " << 2 * damaged.size() << " damaged opens";
    EXPECT_LT(refused, 2 * damaged.size());

    // The openable inputs opened once more and shared: each thread holds the views itself and lets go
    // of them when done, the opener first.
    std::vector<std::vector<std::shared_ptr<velmora::MultiImageView>>> held(Threads);
    for (const Input& input : openableInputs()) {
        const auto view = open(input, 1);
        for (auto& views : held) {
            views.push_back(view);
        }
    }
    runThreads([&](unsigned t, std::vector<std::string>& problems) {
        // The host may set the log level from any thread; the plugin creates its logger once.
        gatanPlugin().initLog(velmora::LogLevel::Info);
        // Each thread walks the inputs from its own starting point and mixes the sources.
        for (std::size_t k = 0; k < cases.size(); ++k) {
            const std::size_t i = (k + t * cases.size() / Threads) % cases.size();
            const Case& c = cases[i];
            const std::size_t s = (i + t) % c.expected.size();
            std::string seen = outcome(*c.input, c.firstSource + static_cast<int>(s));
            if (seen != c.expected[s]) {
                problems.push_back(c.input->name + " in thread " + std::to_string(t) + ": \"" + seen +
                                   "\" where one thread saw \"" + c.expected[s] + "\"");
            }
            if (i < held[t].size()) { // the shared view: its tree, frames and pixels
                gatanfuzz::Report report;
                gatanfuzz::inspect(*held[t][i], report);
                if ("opened " + std::to_string(report.checksum) != c.expected[1]) {
                    problems.push_back("the shared view of " + c.input->name + " differs in thread " +
                                       std::to_string(t));
                }
            }
        }
        held[t].clear();
    });
}

TEST(UidGenerator, IdentifiersFromManyThreadsAreUniqueNonZeroAndIncreasingInEachThread) {
    std::vector<std::vector<std::uint64_t>> drawn(Threads, std::vector<std::uint64_t>(200000));
    runThreads([&](unsigned t, std::vector<std::string>&) {
        std::generate(drawn[t].begin(), drawn[t].end(), velmora::UidGenerator::generate);
    });
    std::set<std::uint64_t> all{0};
    for (const auto& ids : drawn) {
        EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
        all.insert(ids.begin(), ids.end());
    }
    EXPECT_EQ(all.size(), Threads * 200000 + 1);
}
