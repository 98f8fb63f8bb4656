// Identifiers drawn from many threads at once. Concurrent reads of frames, and with them the region
// copier, are exercised through the plugin in tests/concurrency.

#include "velmora/Extension.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <thread>
#include <unordered_set>
#include <vector>

using namespace velmora;

namespace {

TEST(UidGenerator, IdentifiersFromManyThreadsAreUniqueAndNonZero) {
    constexpr int ThreadCount = 8;
    constexpr int PerThread = 20000;
    std::vector<std::vector<std::uint64_t>> drawn(ThreadCount);
    std::vector<std::thread> threads;
    for (int t = 0; t < ThreadCount; ++t) {
        threads.emplace_back([&drawn, t] {
            drawn[t].reserve(PerThread);
            for (int i = 0; i < PerThread; ++i) {
                drawn[t].push_back(UidGenerator::generate());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::unordered_set<std::uint64_t> all;
    for (const auto& ids : drawn) {
        // Each thread sees its own identifiers increase.
        EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
        all.insert(ids.begin(), ids.end());
    }
    EXPECT_EQ(all.size(), static_cast<std::size_t>(ThreadCount * PerThread));
    EXPECT_EQ(all.count(0), 0u);
}

} // namespace
