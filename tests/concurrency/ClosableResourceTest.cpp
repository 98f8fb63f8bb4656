// A resource that threads use while another closes it: a use that got a lease always finds the
// resource whole, and close() returns only when no use is in flight. The closer writes to the
// resource without a lock once close() returns, so ThreadSanitizer reports any use still running.

#include "trestan/toolkit/ClosableResource.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

struct OpenFile {
    explicit OpenFile(int id) : id(id), pixels(4096, id) {}
    int id;
    std::vector<int> pixels; ///< all equal to id while the file is open
    bool closed = false;     ///< written by the closer, without a lock, after close() returned
};

TEST(ClosableResource, CloseWaitsForUsesInFlightAndRefusesNewOnes) {
    trestan::toolkit::ClosableResource<OpenFile> slot;
    std::atomic<bool> stop{false};
    std::atomic<long> uses{0};
    std::atomic<long> refused{0};
    std::atomic<long> torn{0};

    std::vector<std::thread> users;
    for (int t = 0; t < 4; ++t) {
        users.emplace_back([&] {
            while (!stop.load()) {
                auto lease = slot.acquire();
                if (!lease) {
                    refused.fetch_add(1);
                    continue;
                }
                const OpenFile& file = **lease;
                long sum = 0;
                for (const int pixel : file.pixels) {
                    sum += pixel;
                }
                if (file.closed || sum != static_cast<long>(file.id) * 4096) {
                    torn.fetch_add(1);
                }
                uses.fetch_add(1);
            }
        });
    }

    for (int id = 1; id <= 300; ++id) {
        auto file = std::make_shared<OpenFile>(id);
        slot.reset(file);
        std::this_thread::yield();
        slot.close();
        EXPECT_TRUE(slot.closed());
        EXPECT_FALSE(slot.acquire().has_value());
        file->closed = true; // no lease is out: nobody reads this any more
        file->pixels.assign(file->pixels.size(), -1);
    }
    stop.store(true);
    for (std::thread& user : users) {
        user.join();
    }
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(uses.load(), 0);
    EXPECT_GT(refused.load(), 0);
}

TEST(ClosableResource, ALeaseMaySharePastClose) {
    trestan::toolkit::ClosableResource<OpenFile> slot(std::make_shared<OpenFile>(7));
    std::shared_ptr<OpenFile> kept = slot.acquire()->shared();
    slot.close();
    slot.close();
    EXPECT_EQ(kept->pixels.back(), 7);
    EXPECT_EQ(kept.use_count(), 1);
}

} // namespace
