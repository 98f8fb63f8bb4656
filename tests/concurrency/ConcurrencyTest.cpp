// Many threads at once open DM files through the plugin (loaded with the host's loader) by path, by
// stream and by random-access source, and read regions of shared frames while the opening thread
// lets go of them; each must see exactly what one thread alone sees: the same tree, frames, pixels
// and refusals. Run under ThreadSanitizer by the tsan preset.

#include "ByteSources.h"
#include "WriterSeeds.h"
#include "dmwriter/DmImage.h"
#include "trestan/PluginLibrary.h"
#include "velmora/Extension.h"
#include "velmora/ImageProperties.h"
#include "velmora/MetadataNode.h"
#include "velmora/StreamAccessFactory.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <latch>
#include <numeric>
#include <random>
#include <thread>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Region = velmora::RegionX<std::size_t>;
using Shape = velmora::VectorX<std::size_t>;
constexpr unsigned Threads = 8;

struct Input {
    std::string name;
    Bytes bytes;
    std::filesystem::path path; ///< empty for inputs held in memory only
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
        std::vector<std::filesystem::path> files;
        for (const char* name : {"sample.dm3", "sample.dm4"}) {
            files.push_back(std::filesystem::path(TRESTAN_TEST_SOURCE_DIR) / "samples" / name);
        }
        if (std::filesystem::is_directory(TRESTAN_TEST_CORPUS_DIR)) {
            for (const auto& entry : std::filesystem::directory_iterator(TRESTAN_TEST_CORPUS_DIR)) {
                if (entry.path().extension() == ".dm3" || entry.path().extension() == ".dm4") {
                    files.push_back(entry.path());
                }
            }
        }
        for (const auto& file : files) {
            inputs.push_back({file.filename().string(), testsupport::readFile(file), file});
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

/// FNV-1a.
void mix(std::uint64_t& sum, const void* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        sum = (sum ^ static_cast<const std::uint8_t*>(data)[i]) * 0x100000001B3ULL;
    }
}
template <typename T> void mixValue(std::uint64_t& sum, const T& value) {
    mix(sum, &value, sizeof value);
}
void mixText(std::uint64_t& sum, const std::string& text) {
    mix(sum, text.data(), text.size());
}

/// Every node's name, child count and value.
std::uint64_t treeDigest(const velmora::MetadataNode& root) {
    std::uint64_t sum = 0xCBF29CE484222325ULL;
    std::vector<const velmora::MetadataNode*> pending{&root};
    while (!pending.empty()) {
        const velmora::MetadataNode* node = pending.back();
        pending.pop_back();
        mixText(sum, node->name());
        mixValue(sum, node->childCount());
        if (const auto& value = node->value(); value && value->isString()) {
            mixText(sum, value->text());
        } else if (value && value->count() > 0) {
            mixValue(sum, value->type());
            mix(sum, value->data(), value->count() * velmora::valueTypeSize(value->type()));
        }
        for (const auto& child : *node) {
            pending.push_back(child.get());
        }
    }
    return sum;
}

Bytes readRegion(velmora::ImageView& frame, const Region& region) {
    Bytes pixels(region.elementCount() * frame.dataType().elementSize());
    frame.readRegion(region, pixels.data());
    return pixels;
}

/// What opening gave: a digest of the tree and of every frame's shape, type, calibration, origin and
/// pixels, or the refusal's message.
std::string outcome(const Input& input, int source) {
    try {
        const auto view = open(input, source);
        std::uint64_t sum = treeDigest(*view->metadata());
        mixText(sum, view->viewOrigin()->displayName());
        for (std::size_t index = 0; index < view->frameCount(); ++index) {
            const auto frame = view->frame(index);
            for (std::size_t length : frame->shape()) {
                mixValue(sum, length);
            }
            mixValue(sum, frame->dataType().id());
            const auto properties = frame->properties();
            mixValue(sum, properties->imageInfo().interpretation());
            mixValue(sum, properties->calibration().origin());
            mixValue(sum, properties->calibration().spacing());
            mixText(sum, properties->calibration().unit());
            mixText(sum, frame->viewOrigin()->displayName());
            const Bytes pixels = readRegion(*frame, Region::whole(frame->shape()));
            mix(sum, pixels.data(), pixels.size());
        }
        return "opened " + std::to_string(sum);
    } catch (const std::exception& error) {
        return std::string("refused: ") + error.what();
    }
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
        const std::size_t size = seed.bytes.size();
        for (std::size_t cut : {std::size_t{5}, size / 3, size / 2, size - 1}) {
            damaged.push_back(
                {seed.name + " cut to " + std::to_string(cut),
                 Bytes(seed.bytes.begin(), seed.bytes.begin() + static_cast<std::ptrdiff_t>(cut)),
                 {}});
        }
        for (std::size_t at = 13; at < size; at += size / 5) {
            damaged.push_back({seed.name + " byte " + std::to_string(at) + " inverted", seed.bytes, {}});
            damaged.back().bytes[at] ^= 0xFF;
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
        EXPECT_EQ(c.firstSource != 0 || c.expected.front().starts_with("opened"), true) << c.input->name;
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
    const Input large{"large", dmwriter::imageFile({dmwriter::rampImage(2, {512, 384})}).toBytes(), {}};
    std::vector<std::shared_ptr<velmora::MultiImageView>> views{open(large, 1)};
    for (const Input& input : openableInputs()) {
        if (input.name.starts_with("image-") || input.name.starts_with("sample") ||
            input.name.starts_with("dm3_3D") || input.name.starts_with("dm4_2D")) {
            views.push_back(open(input, 1));
        }
    }
    // Whole frames and random boxes, as one thread reads them.
    struct Request {
        std::shared_ptr<velmora::ImageView> frame;
        Region region;
        Bytes expected;
        std::uint64_t tree;
    };
    std::vector<Request> requests;
    std::mt19937_64 random(0xC0FFEE);
    for (const auto& view : views) {
        for (std::size_t f = 0; f < view->frameCount(); ++f) {
            const auto frame = view->frame(f);
            const Shape shape = frame->shape();
            const bool empty = std::find(shape.begin(), shape.end(), 0U) != shape.end();
            for (int box = 0; box < (empty ? 1 : 17); ++box) {
                Shape offset(shape.size(), 0);
                Shape size = shape;
                for (std::size_t a = 0; box > 0 && a < shape.size(); ++a) {
                    offset[a] = random() % shape[a];
                    size[a] = 1 + random() % (shape[a] - offset[a]);
                }
                const Region region(offset, size);
                requests.push_back(
                    {frame, region, readRegion(*frame, region), treeDigest(*frame->metadata())});
            }
        }
    }
    ASSERT_GE(requests.size(), 20U * 17);
    EXPECT_EQ(requests.front().expected.size(), 512U * 384 * 4);

    // Each thread holds the frames itself and lets go of them when done; the opener lets go of the
    // views and of its own references first.
    std::vector<std::vector<std::shared_ptr<velmora::ImageView>>> held(Threads);
    for (auto& frames : held) {
        for (Request& request : requests) {
            frames.push_back(request.frame);
        }
    }
    views.clear();
    for (Request& request : requests) {
        request.frame.reset();
    }
    runThreads([&](unsigned t, std::vector<std::string>& problems) {
        std::vector<std::size_t> order(requests.size());
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), std::mt19937_64(t));
        for (std::size_t i : order) {
            velmora::ImageView& frame = *held[t][i];
            if (readRegion(frame, requests[i].region) != requests[i].expected) {
                problems.push_back("request " + std::to_string(i) + " differs in thread " +
                                   std::to_string(t));
            }
            if (i % 8 == t && (frame.viewOrigin()->parentCount() != 1 ||
                               treeDigest(*frame.metadata()) != requests[i].tree)) {
                problems.push_back("request " + std::to_string(i) + " answers differently in thread " +
                                   std::to_string(t));
            }
        }
        held[t].clear();
    });
}
