// Many threads at once open DM files through the plugin (loaded with the host's loader) by path, by
// stream and by random-access source, and read regions of shared frames while the opening thread
// lets go of them; each must see exactly what one thread alone sees: the same tree, frames, pixels
// and refusals. Run under ThreadSanitizer by the tsan preset.

#include "ByteSources.h"
#include "WriterSeeds.h"
#include "dmwriter/DmImage.h"
#include "dmwriter/DmWriter.h"
#include "trestan/OptionMap.h"
#include "trestan/PluginLibrary.h"
#include "velmora/Extension.h"
#include "velmora/ImageProperties.h"
#include "velmora/LogLevel.h"
#include "velmora/MetadataNode.h"
#include "velmora/StreamAccessFactory.h"
#include "velmora/VariantDataValue.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <filesystem>
#include <gtest/gtest.h>
#include <latch>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Region = velmora::RegionX<std::size_t>;
using Shape = velmora::VectorX<std::size_t>;

constexpr unsigned Threads = 8;

/// One DM input, in memory and as a file.
struct Input {
    std::string name;
    Bytes bytes;
    std::filesystem::path path;
};

/// How a file reaches the plugin.
enum class Source { Path, Stream, RandomAccess };

/// Problems seen by threads, reported once they have joined.
class Problems {
public:
    void add(std::string problem) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        ++m_count;
        if (m_shown.size() < 20) {
            m_shown.push_back(std::move(problem));
        }
    }
    void report() const {
        for (const std::string& problem : m_shown) {
            ADD_FAILURE() << problem;
        }
        EXPECT_EQ(m_count, 0U) << "problems in all";
    }

private:
    std::mutex m_mutex;
    std::size_t m_count = 0;
    std::vector<std::string> m_shown;
};

/// Inputs that open: the writer's seed files of supported data types, the samples, and every real
/// file of the corpus (when it exists).
std::vector<Input> gatherInputs() {
    // The writer files as files too, removed at exit.
    static std::vector<std::unique_ptr<testsupport::TemporaryFile>> s_files;
    std::vector<Input> inputs;
    for (auto& seed : gatanfuzz::writerSeeds()) {
        if (seed.name.find("refused") == std::string::npos) {
            s_files.push_back(std::make_unique<testsupport::TemporaryFile>(seed.bytes, ".dm"));
            inputs.push_back(Input{seed.name, std::move(seed.bytes), s_files.back()->path()});
        }
    }
    const std::filesystem::path samples = std::filesystem::path(TRESTAN_TEST_SOURCE_DIR) / "samples";
    for (const char* name : {"sample.dm3", "sample.dm4"}) {
        inputs.push_back(Input{name, testsupport::readFile(samples / name), samples / name});
    }
    const std::filesystem::path corpus(TRESTAN_TEST_CORPUS_DIR);
    if (std::filesystem::is_directory(corpus)) {
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
            const auto extension = entry.path().extension();
            if (entry.is_regular_file() && (extension == ".dm3" || extension == ".dm4")) {
                files.push_back(entry.path());
            }
        }
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            inputs.push_back(Input{"real/" + file.filename().string(), testsupport::readFile(file), file});
        }
    }
    for (const Input& input : inputs) {
        if (input.bytes.empty()) {
            throw std::runtime_error("cannot read " + input.path.string());
        }
    }
    return inputs;
}

/// The Gatan plugin, loaded once per process, its log level set to info as a host would (each open
/// logs its dataset line from whichever thread opens).
trestan::ExtractorPlugin& gatanPlugin() {
    static const std::shared_ptr<trestan::PluginLibrary> s_library = [] {
        auto library =
            trestan::PluginLibrary::load(std::string(TRESTAN_TEST_PLUGIN_DIR) + "/libtrestan-gatan.so");
        library->plugin().initLog(velmora::LogLevel::Info);
        return library;
    }();
    return s_library->plugin();
}

const std::vector<Input>& openableInputs() {
    static const std::vector<Input> s_inputs = gatherInputs();
    return s_inputs;
}

std::shared_ptr<velmora::MultiImageView> open(const Input& input, Source source) {
    trestan::ExtractorPlugin& plugin = gatanPlugin();
    switch (source) {
    case Source::Path:
        return plugin.open(input.path.string(), "DM", trestan::OptionMap{});
    case Source::Stream:
        return plugin.open(velmora::StreamAccessFactory::fromMemory(input.bytes.data(), input.bytes.size()),
                           "DM", trestan::OptionMap{});
    case Source::RandomAccess:
        return plugin.open(std::static_pointer_cast<velmora::RandomAccess>(
                               std::make_shared<testsupport::MemorySource>(input.bytes)),
                           "DM", trestan::OptionMap{});
    }
    throw std::logic_error("unknown source");
}

/// FNV-1a.
void mix(std::uint64_t& sum, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        sum = (sum ^ bytes[i]) * 0x100000001B3ULL;
    }
}

template <typename T> void mixValue(std::uint64_t& sum, const T& value) {
    mix(sum, &value, sizeof value);
}

/// A digest of every node's name, child count and value.
std::uint64_t treeDigest(const velmora::MetadataNode& root) {
    std::uint64_t sum = 0xCBF29CE484222325ULL;
    std::vector<const velmora::MetadataNode*> pending{&root};
    while (!pending.empty()) {
        const velmora::MetadataNode* node = pending.back();
        pending.pop_back();
        mix(sum, node->name().data(), node->name().size());
        mixValue(sum, node->childCount());
        if (const auto& value = node->value()) {
            mixValue(sum, value->type());
            mixValue(sum, value->count());
            if (value->isString()) {
                mix(sum, value->text().data(), value->text().size());
            } else if (value->count() > 0) {
                mix(sum, value->data(), value->count() * velmora::valueTypeSize(value->type()));
            }
        }
        for (auto it = node->end(); it != node->begin();) {
            pending.push_back((--it)->get());
        }
    }
    return sum;
}

Bytes readRegion(velmora::ImageView& frame, const velmora::RegionX<std::size_t>& region) {
    Bytes pixels(region.elementCount() * frame.dataType().elementSize());
    frame.readRegion(region, pixels.data());
    return pixels;
}

/// Everything a host can see of an opened file: the whole tree, and for every frame its shape, data
/// type, properties, view origin and all of its pixels.
std::uint64_t digest(velmora::MultiImageView& view) {
    std::uint64_t sum = treeDigest(*view.metadata());
    const auto origin = std::dynamic_pointer_cast<velmora::ViewOriginExtension>(
        view.extension(velmora::VIEW_ORIGIN_EXTENSION));
    const std::string name = origin->displayName();
    mix(sum, name.data(), name.size());
    mixValue(sum, origin->dataOrigin());
    mixValue(sum, view.frameCount());
    for (std::size_t index = 0; index < view.frameCount(); ++index) {
        const auto frame = view.frame(index);
        for (std::size_t length : frame->shape()) {
            mixValue(sum, length);
        }
        mixValue(sum, frame->dataType().id());
        const auto properties = frame->properties();
        mixValue(sum, properties->imageInfo().axes());
        mixValue(sum, properties->imageInfo().interpretation());
        mixValue(sum, properties->imageInfo().bitDepth());
        mixValue(sum, properties->imageInfo().valueRange());
        mixValue(sum, properties->calibration().origin());
        mixValue(sum, properties->calibration().spacing());
        const std::string& unit = properties->calibration().unit();
        mix(sum, unit.data(), unit.size());
        const auto frameOrigin = std::dynamic_pointer_cast<velmora::ViewOriginExtension>(
            frame->extension(velmora::VIEW_ORIGIN_EXTENSION));
        const std::string frameName = frameOrigin->displayName();
        mix(sum, frameName.data(), frameName.size());
        mixValue(sum, frameOrigin->dataOrigin());
        mixValue(sum, frameOrigin->parent(0)->uid() == origin->uid());
        const Bytes pixels = readRegion(*frame, velmora::RegionX<std::size_t>::whole(frame->shape()));
        mix(sum, pixels.data(), pixels.size());
    }
    return sum;
}

/// What opening gave: a digest of the opened file, or the refusal's message.
std::string outcome(const Input& input, Source source) {
    try {
        return "opened " + std::to_string(digest(*open(input, source)));
    } catch (const std::exception& error) {
        return std::string("refused: ") + error.what();
    }
}

/// The writer's seeds cut at several lengths and with one byte inverted in several places; most are
/// refused, some open. They exist in memory only.
std::vector<Input> damagedInputs() {
    std::vector<Input> damaged;
    for (const auto& seed : gatanfuzz::writerSeeds()) {
        const std::size_t size = seed.bytes.size();
        for (std::size_t cut : {std::size_t{5}, size / 3, size / 2, size - 1}) {
            damaged.push_back(
                Input{seed.name + " cut to " + std::to_string(cut),
                      Bytes(seed.bytes.begin(), seed.bytes.begin() + static_cast<std::ptrdiff_t>(cut)),
                      {}});
        }
        for (std::size_t at = 13; at < size; at += size / 5) {
            Bytes changed = seed.bytes;
            changed[at] ^= 0xFF;
            damaged.push_back(Input{seed.name + " byte " + std::to_string(at) + " inverted", changed, {}});
        }
    }
    return damaged;
}

/// An input with what one thread saw of it through each source it can be given by.
struct Case {
    const Input* input;
    std::vector<Source> sources;
    std::vector<std::string> expected;
};

struct Request {
    std::size_t frame;
    Region region;
    Bytes expected;
};

/// A larger image than the seeds hold, so that whole-frame reads take a while: 512 x 384 float32.
Input largeImage() {
    return Input{
        "large float image", dmwriter::imageFile({dmwriter::rampImage(2, {512, 384})}).toBytes(), {}};
}

/// Whole frames and random boxes.
std::vector<Request> requestsFor(const std::vector<std::shared_ptr<velmora::ImageView>>& frames) {
    std::vector<Request> requests;
    std::mt19937_64 random(0xC0FFEE);
    for (std::size_t f = 0; f < frames.size(); ++f) {
        const Shape shape = frames[f]->shape();
        requests.push_back(Request{f, Region::whole(shape), {}});
        if (std::find(shape.begin(), shape.end(), 0U) != shape.end()) {
            continue;
        }
        for (int box = 0; box < 16; ++box) {
            Shape offset(shape.size());
            Shape size(shape.size());
            for (std::size_t a = 0; a < shape.size(); ++a) {
                offset[a] = random() % shape[a];
                size[a] = 1 + random() % (shape[a] - offset[a]);
            }
            requests.push_back(Request{f, Region(offset, size), {}});
        }
    }
    return requests;
}

} // namespace

TEST(ConcurrentOpen, ThreadsOpeningFilesAtOnceSeeWhatOneThreadSees) {
    const std::vector<Input>& openable = openableInputs();
    ASSERT_GE(openable.size(), 30U);
    const std::vector<Input> damaged = damagedInputs();

    // One thread first: every input through every source.
    std::vector<Case> cases;
    std::set<std::string> distinct;
    std::set<Bytes> contents;
    for (const Input& input : openable) {
        cases.push_back(Case{&input, {Source::Path, Source::Stream, Source::RandomAccess}, {}});
        for (Source source : cases.back().sources) {
            cases.back().expected.push_back(outcome(input, source));
            EXPECT_EQ(cases.back().expected.back().rfind("opened", 0), 0U) << input.name;
        }
        // The framed writer files differ from the plain ones only in the length word and trailer,
        // which the reader does not read.
        if (input.name.find("-framed") == std::string::npos) {
            distinct.insert(cases.back().expected.front());
            contents.insert(input.bytes);
        }
    }
    // The digest tells files apart (the corpus holds some identical files), so that equal digests
    // below mean equal results.
    EXPECT_EQ(distinct.size(), contents.size());
    std::size_t refused = 0;
    for (const Input& input : damaged) {
        cases.push_back(Case{&input, {Source::Stream, Source::RandomAccess}, {}});
        for (Source source : cases.back().sources) {
            cases.back().expected.push_back(outcome(input, source));
        }
        refused += cases.back().expected.front().rfind("refused", 0) == 0 ? 1 : 0;
    }
    EXPECT_GT(refused, damaged.size() / 2);
    EXPECT_LT(refused, damaged.size());

    std::latch start(Threads);
    Problems problems;
    std::atomic<std::size_t> opens{0};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            // The host may set the log level from any thread; the plugin creates its logger once.
            gatanPlugin().initLog(velmora::LogLevel::Info);
            start.arrive_and_wait();
            for (std::size_t k = 0; k < cases.size(); ++k) {
                // Each thread walks the inputs from its own starting point and mixes the sources.
                const std::size_t i = (k + t * cases.size() / Threads) % cases.size();
                const Case& c = cases[i];
                const std::size_t s = (i + t) % c.sources.size();
                const std::string seen = outcome(*c.input, c.sources[s]);
                if (seen != c.expected[s]) {
                    problems.add(c.input->name + " by source " + std::to_string(s) + " in thread " +
                                 std::to_string(t) + ": \"" + seen + "\" where one thread saw \"" +
                                 c.expected[s] + "\"");
                }
                ++opens;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    problems.report();
    EXPECT_EQ(opens.load(), Threads * cases.size());
}

TEST(SharedFrames, ThreadsReadingRegionsOfSharedFramesGetWhatOneThreadReads) {
    // Every image data type, several shapes, two-frame samples, a large image and the real files
    // with their thumbnails.
    std::vector<Input> own{largeImage()};
    std::vector<const Input*> inputs{&own.front()};
    for (const Input& input : openableInputs()) {
        if (input.name.rfind("image-", 0) == 0 || input.name.rfind("sample", 0) == 0 ||
            input.name.rfind("real/dm3_3D", 0) == 0 || input.name.rfind("real/dm4_2D", 0) == 0) {
            inputs.push_back(&input);
        }
    }
    std::vector<std::shared_ptr<velmora::MultiImageView>> views;
    std::vector<std::shared_ptr<velmora::ImageView>> frames;
    std::vector<std::uint64_t> trees;
    for (const Input* input : inputs) {
        views.push_back(open(*input, Source::Stream));
        for (std::size_t f = 0; f < views.back()->frameCount(); ++f) {
            frames.push_back(views.back()->frame(f));
            trees.push_back(treeDigest(*views.back()->metadata()));
        }
    }
    ASSERT_GE(frames.size(), 20U);

    std::vector<Request> requests = requestsFor(frames);
    for (Request& request : requests) {
        request.expected = readRegion(*frames[request.frame], request.region);
    }
    EXPECT_EQ(requests.front().expected.size(), 512U * 384 * 4);

    std::atomic<unsigned> ready{0};
    std::atomic<bool> released{false};
    std::atomic<std::size_t> reads{0};
    Problems problems;
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            // Each thread holds the frames itself; the views are released while it reads.
            const std::vector<std::shared_ptr<velmora::ImageView>> held = frames;
            std::vector<std::size_t> order(requests.size());
            for (std::size_t i = 0; i < order.size(); ++i) {
                order[i] = i;
            }
            std::shuffle(order.begin(), order.end(), std::mt19937_64(t));
            ++ready;
            while (!released.load()) {
                std::this_thread::yield();
            }
            for (std::size_t i : order) {
                const Request& request = requests[i];
                velmora::ImageView& frame = *held[request.frame];
                if (readRegion(frame, request.region) != request.expected) {
                    problems.add("frame " + std::to_string(request.frame) + " request " + std::to_string(i) +
                                 " in thread " + std::to_string(t) +
                                 " differs from the single-threaded read");
                }
                if (i % 8 == t) {
                    const auto origin = std::dynamic_pointer_cast<velmora::ViewOriginExtension>(
                        frame.extension(velmora::VIEW_ORIGIN_EXTENSION));
                    if (!origin || origin->parentCount() != 1 || frame.properties() == nullptr ||
                        frame.shape().size() != request.region.dimensions() ||
                        treeDigest(*frame.metadata()) != trees[request.frame]) {
                        problems.add("frame " + std::to_string(request.frame) +
                                     " answers differently in thread " + std::to_string(t));
                    }
                }
                ++reads;
            }
        });
    }
    while (ready.load() < Threads) {
        std::this_thread::yield();
    }
    // The opening thread lets go of the views and of its own frame references; the threads' frames
    // keep what they need alive.
    views.clear();
    frames.clear();
    released = true;
    for (auto& thread : threads) {
        thread.join();
    }
    problems.report();
    EXPECT_EQ(reads.load(), Threads * requests.size());
}
