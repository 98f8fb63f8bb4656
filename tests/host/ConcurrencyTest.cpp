// Identifiers drawn from many threads at once. Concurrent reads of frames, and with them the region
// copier, are exercised through the plugin in tests/concurrency.

#include "velmora/Extension.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <set>
#include <thread>

TEST(UidGenerator, IdentifiersFromManyThreadsAreUniqueNonZeroAndIncreasingInEachThread) {
    std::vector<std::vector<std::uint64_t>> drawn(8, std::vector<std::uint64_t>(20000));
    std::vector<std::thread> threads;
    for (auto& ids : drawn) {
        threads.emplace_back(
            [&ids] { std::generate(ids.begin(), ids.end(), velmora::UidGenerator::generate); });
    }
    std::set<std::uint64_t> all{0};
    for (std::size_t t = 0; t < threads.size(); ++t) {
        threads[t].join();
        EXPECT_TRUE(std::is_sorted(drawn[t].begin(), drawn[t].end()));
        all.insert(drawn[t].begin(), drawn[t].end());
    }
    EXPECT_EQ(all.size(), 8U * 20000 + 1);
}
