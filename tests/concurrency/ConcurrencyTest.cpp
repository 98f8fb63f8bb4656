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

/// The Gatan plugin, loaded once. Its logger is first set up by the threads, all at once, as hosts
/// may do from any thread; from then on each open logs from its thread.
trestan::ExtractorPlugin& gatanPlugin() {
    static const auto s_library =
        trestan::PluginLibrary::load(std::string(TRESTAN_TEST_PLUGIN_DIR) + "/libtrestan-gatan.so");
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
/// origin and pixels, or the message of the refusal (or of a broken rule).
std::string outcome(const std::function<std::shared_ptr<velmora::MultiImageView>()>& view) {
    try {
        gatanfuzz::Report report;
        gatanfuzz::inspect(*view(), report);
        return "opened " + std::to_string(report.checksum);
    } catch (const std::exception& error) {
        return std::string("refused: ") + error.what();
    }
}

} // namespace

TEST(Concurrency, ThreadsOpeningFilesAndReadingSharedViewsSeeWhatOneThreadSees) {
    // Openable, by every source: the writer's seeds of supported data types and a 512 x 384 float
    // image whose whole-frame reads take a while (as files too), the samples and the real files of
    // the corpus when it exists. From memory only: the seeds cut short and with one byte inverted
    // (most are refused, some open).
    std::vector<Input> inputs;
    std::vector<std::unique_ptr<testsupport::TemporaryFile>> files;
    auto seeds = gatanfuzz::writerSeeds();
    seeds.push_back({"large", dmwriter::imageFile({dmwriter::rampImage(2, {512, 384})}).toBytes(), {}});
    for (const auto& seed : seeds) {
        if (seed.name.find("refused") == std::string::npos) {
            files.push_back(std::make_unique<testsupport::TemporaryFile>(seed.bytes, ".dm"));
            inputs.push_back({seed.name, seed.bytes, files.back()->path()});
        }
    }
    std::error_code absent; // the corpus may be missing
    for (const std::filesystem::path directory :
         {TRESTAN_TEST_SOURCE_DIR "/samples", TRESTAN_TEST_CORPUS_DIR}) {
        for (const auto& entry : std::filesystem::directory_iterator(directory, absent)) {
            if (entry.path().extension() == ".dm3" || entry.path().extension() == ".dm4") {
                inputs.push_back(
                    {entry.path().filename().string(), testsupport::readFile(entry.path()), entry.path()});
            }
        }
    }
    const std::size_t openable = inputs.size();
    for (const auto& seed : seeds) {
        for (std::size_t cut = 5; cut < seed.bytes.size(); cut += seed.bytes.size() / 4) {
            inputs.push_back({seed.name + " cut to " + std::to_string(cut), seed.bytes});
            inputs.back().bytes.resize(cut);
            inputs.push_back({seed.name + " byte " + std::to_string(cut) + " inverted", seed.bytes});
            inputs.back().bytes[cut] ^= 0xFF;
        }
    }
    // What one thread sees, by source; the openable inputs opened once more and shared: each thread
    // holds the views itself and lets go of them when done, the opener first.
    std::vector<std::vector<std::string>> expected(inputs.size());
    std::size_t refused = 0;
    std::vector<std::vector<std::shared_ptr<velmora::MultiImageView>>> held(Threads);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        for (int source = i < openable ? 0 : 1; source < 3; ++source) {
            expected[i].push_back(outcome([&] { return open(inputs[i], source); }));
            refused += expected[i].back().starts_with("refused") ? 1 : 0;
        }
        if (i < openable) {
            EXPECT_TRUE(expected[i][0].starts_with("opened")) << inputs[i].name << ": " << expected[i][0];
            const auto view = open(inputs[i], 1);
            for (auto& views : held) {
                views.push_back(view);
            }
        }
    }
    EXPECT_GT(refused, inputs.size() - openable)
        << "of " << 2 * (inputs.size() - openable) << " damaged opens";
    EXPECT_LT(refused, 2 * (inputs.size() - openable));

    runThreads([&](unsigned t, std::vector<std::string>& problems) {
        // The host may set the log level from any thread; the plugin creates its logger once.
        gatanPlugin().initLog(velmora::LogLevel::Info);
        // Each thread walks the inputs from its own starting point and mixes the sources.
        for (std::size_t k = 0; k < inputs.size(); ++k) {
            const std::size_t i = (k + t * inputs.size() / Threads) % inputs.size();
            const std::size_t s = (i + t) % expected[i].size();
            const int source = static_cast<int>(3 - expected[i].size() + s);
            const std::string seen = outcome([&] { return open(inputs[i], source); });
            if (seen != expected[i][s]) {
                problems.push_back(inputs[i].name + " in thread " + std::to_string(t) + ": \"" + seen +
                                   "\" where one thread saw \"" + expected[i][s] + "\"");
            }
            // The shared view: its tree, frames and pixels.
            if (i < openable && outcome([&] { return held[t][i]; }) != expected[i][1]) {
                problems.push_back("the shared view of " + inputs[i].name + " differs in thread " +
                                   std::to_string(t));
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
