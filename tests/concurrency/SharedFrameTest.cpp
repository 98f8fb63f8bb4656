// Frames of opened files are shared by many threads that read regions of them at the same time, ask
// for their shape, type, properties and view origin, and walk the file's metadata tree, while the
// thread that opened the files lets go of them. Every region must hold the bytes that one thread
// alone reads. Run under ThreadSanitizer by the tsan preset.

#include "ConcurrencySupport.h"
#include "dmwriter/DmImage.h"
#include "dmwriter/DmWriter.h"
#include "velmora/Extension.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace concurrency;
using Region = velmora::RegionX<std::size_t>;
using Shape = velmora::VectorX<std::size_t>;

namespace {

constexpr unsigned Threads = 8;

struct Request {
    std::size_t frame;
    Region region;
    Bytes expected;
};

/// A larger image than the seeds hold, so that whole-frame reads take a while: 512 x 384 float32.
Input largeImage() {
    dmwriter::DmFile file(dmwriter::Version::Dm4);
    dmwriter::ImageDefinition definition;
    definition.dataType = 2;
    definition.dimensions = {512, 384};
    definition.pixels.resize(512 * 384 * 4);
    for (std::size_t i = 0; i < definition.pixels.size(); ++i) {
        definition.pixels[i] = static_cast<std::uint8_t>(i * 31 + i / 509);
    }
    dmwriter::addImage(file.root().addDirectory("ImageList"), definition);
    return Input{"large float image", file.toBytes(), {}};
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
