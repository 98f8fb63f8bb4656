// Frames answer region reads from several threads at once: two frames of one file, read in
// different orders from many threads, give the bytes a single-threaded read gives.

#include "FrameTestSupport.h"

#include <atomic>
#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

using namespace dmwriter;
using namespace framestest;

namespace {

struct Request {
    std::size_t frame;
    Region region;
};

/// Whole frames, rows, columns, blocks and single elements of both frames.
std::vector<Request> requestsFor(GatanExtractor& extractor) {
    std::vector<Request> requests;
    for (std::size_t f = 0; f < extractor.frameCount(); ++f) {
        const Shape shape = extractor.frame(f)->shape();
        const std::size_t width = shape[0];
        const std::size_t height = shape[1];
        requests.push_back({f, Region::whole(shape)});
        for (std::size_t y = 0; y < height; y += 7) {
            requests.push_back({f, Region({0, y}, {width, 1})});
        }
        for (std::size_t x = 0; x < width; x += 11) {
            requests.push_back({f, Region({x, 0}, {1, height})});
        }
        requests.push_back({f, Region({width / 3, height / 4}, {width / 2, height / 2})});
        requests.push_back({f, Region({width - 1, height - 1}, {1, 1})});
    }
    return requests;
}

} // namespace

TEST(ConcurrentRead, TwoFramesReadFromManyThreadsGiveTheSingleThreadedBytes) {
    DmFile file;
    Directory& list = file.root().addDirectory("ImageList");
    ImageDefinition grey;
    grey.dataType = 2;
    grey.dimensions = {300, 200};
    grey.pixels = ramp(300 * 200 * 4, 1);
    addImage(list, grey);
    ImageDefinition colour;
    colour.dataType = 8;
    colour.dimensions = {97, 61};
    colour.pixels = ramp(97 * 61 * 4, 2);
    addImage(list, colour);
    const auto extractor = openFile(file);
    ASSERT_EQ(extractor->frameCount(), 2U);

    const std::vector<Request> requests = requestsFor(*extractor);
    std::vector<Bytes> expected;
    for (const Request& request : requests) {
        expected.push_back(readRegion(*extractor->frame(request.frame), request.region));
    }
    ASSERT_EQ(expected.front(), grey.pixels);

    constexpr unsigned Threads = 8;
    constexpr unsigned Rounds = 20;
    std::atomic<unsigned> ready{0};
    std::atomic<std::size_t> mismatches{0};
    std::atomic<std::size_t> failures{0};
    std::atomic<std::size_t> reads{0};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            ++ready;
            while (ready.load() < Threads) {
                std::this_thread::yield();
            }
            try {
                // Each thread starts elsewhere in the list and half of them walk it backwards, so
                // the two frames are read in both orders at the same time.
                const std::size_t n = requests.size();
                for (unsigned round = 0; round < Rounds; ++round) {
                    for (std::size_t step = 0; step < n; ++step) {
                        const std::size_t shifted = (step + t * n / Threads) % n;
                        const std::size_t i = t % 2 == 0 ? shifted : n - 1 - shifted;
                        const FramePtr frame = extractor->frame(requests[i].frame);
                        if (readRegion(*frame, requests[i].region) != expected[i]) {
                            ++mismatches;
                        }
                        ++reads;
                    }
                }
            } catch (...) {
                ++failures;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0U);
    EXPECT_EQ(mismatches.load(), 0U);
    EXPECT_EQ(reads.load(), std::size_t{Threads} * Rounds * requests.size());
}
