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
#include <numeric>
#include <random>
#include <set>
#include <thread>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Region = velmora::RegionX<std::size_t>;
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

/// The writer's seeds of supported data types (as files too), the samples and the real files of
/// the corpus when it exists.
const std::vector<Input>& openableInputs() {
    static std::vector<std::unique_ptr<testsupport::TemporaryFile>> s_files;
    static const std::vector<Input> s_inputs = [] {
        std::vector<Input> inputs;
        for (auto& seed : gatanfuzz::writerSeeds()) {
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

Bytes readRegion(velmora::ImageView& frame, const Region& region) {
    Bytes pixels(region.elementCount() * frame.dataType().elementSize());
    frame.readRegion(region, pixels.data());
    return pixels;
}

} // namespace

TEST(ConcurrentOpen, ThreadsOpeningFilesAtOnceSeeWhatOneThreadSees) {
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

    runThreads([&](unsigned t, std::vector<std::string>& problems) {
        // The host may set the log level from any thread; the plugin creates its logger once.
        gatanPlugin().initLog(velmora::LogLevel::Info);
        // Each thread walks the inputs from its own starting point and mixes the sources.
        for (std::size_t k = 0; k < cases.size(); ++k) {
            const std::size_t i = (k + t * cases.size() / Threads) % cases.size();
            const Case& c = cases[i];
            const std::size_t s = (i + t) % c.expected.size();
            const std::string seen = outcome(*c.input, c.firstSource + static_cast<int>(s));
            if (seen != c.expected[s]) {
                problems.push_back(c.input->name + " in thread " + std::to_string(t) + ": \"" + seen +
                                   "\" where one thread saw \"" + c.expected[s] + "\"");
            }
        }
    });
}

TEST(SharedFrames, ThreadsReadingRegionsOfSharedFramesGetWhatOneThreadReads) {
    // Every image data type and several shapes from the seeds, the two-frame samples, a 512 x 384
    // float image whose whole-frame reads take a while, and real files with their thumbnails.
    const Input large{"large", dmwriter::imageFile({dmwriter::rampImage(2, {512, 384})}).toBytes()};
    std::vector<std::shared_ptr<velmora::MultiImageView>> views{open(large, 1)};
    for (const Input& input : openableInputs()) {
        if (input.name.starts_with("image-") || input.name.starts_with("sample") ||
            input.name.starts_with("dm3_3D") || input.name.starts_with("dm4_2D")) {
            views.push_back(open(input, 1));
        }
    }
    // Whole frames and random boxes, as one thread reads them. Each thread holds the frames itself
    // and lets go of them when done; the opener lets go of the views and of its own references first.
    struct Request {
        Region region;
        Bytes expected;
        std::size_t nodes;
    };
    std::vector<Request> requests;
    std::vector<std::vector<std::shared_ptr<velmora::ImageView>>> held(Threads);
    std::mt19937_64 random(0xC0FFEE);
    for (const auto& view : views) {
        for (std::size_t f = 0; f < view->frameCount(); ++f) {
            const auto frame = view->frame(f);
            const auto shape = frame->shape();
            const bool empty = std::find(shape.begin(), shape.end(), 0U) != shape.end();
            for (int box = 0; box < (empty ? 1 : 17); ++box) {
                auto offset = velmora::VectorX<std::size_t>(shape.size(), 0);
                auto size = shape;
                for (std::size_t a = 0; box > 0 && a < shape.size(); ++a) {
                    offset[a] = random() % shape[a];
                    size[a] = 1 + random() % (shape[a] - offset[a]);
                }
                const Region region(offset, size);
                requests.push_back({region, readRegion(*frame, region),
                                    velmora::MetadataNodeHelper::countNodes(*frame->metadata())});
                for (auto& frames : held) {
                    frames.push_back(frame);
                }
            }
        }
    }
    ASSERT_GE(requests.size(), 20U * 17);
    EXPECT_EQ(requests.front().expected.size(), 512U * 384 * 4);
    views.clear();
    runThreads([&](unsigned t, std::vector<std::string>& problems) {
        std::vector<std::size_t> order(requests.size());
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), std::mt19937_64(t));
        for (std::size_t i : order) {
            velmora::ImageView& frame = *held[t][i];
            if (readRegion(frame, requests[i].region) != requests[i].expected ||
                (i % 8 == t &&
                 (frame.viewOrigin()->parentCount() != 1 ||
                  velmora::MetadataNodeHelper::countNodes(*frame.metadata()) != requests[i].nodes))) {
                problems.push_back("request " + std::to_string(i) + " differs in thread " +
                                   std::to_string(t));
            }
        }
        held[t].clear();
    });
}

TEST(UidGenerator, IdentifiersFromManyThreadsAreUniqueNonZeroAndIncreasingInEachThread) {
    std::vector<std::vector<std::uint64_t>> drawn(Threads, std::vector<std::uint64_t>(20000));
    runThreads([&](unsigned t, std::vector<std::string>&) {
        std::generate(drawn[t].begin(), drawn[t].end(), velmora::UidGenerator::generate);
    });
    std::set<std::uint64_t> all{0};
    for (const auto& ids : drawn) {
        EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
        all.insert(ids.begin(), ids.end());
    }
    EXPECT_EQ(all.size(), Threads * 20000 + 1);
}
