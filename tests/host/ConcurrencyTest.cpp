#include "TestFiles.h"
#include "velmora/Extension.h"
#include "velmora/Indexer.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <thread>
#include <unordered_set>

using namespace velmora;

namespace {

constexpr int ThreadCount = 8;

TEST(UidGenerator, IdentifiersFromManyThreadsAreUniqueAndNonZero) {
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

TEST(RegionCopier, OneCopierServesManyThreadsAtOnce) {
    // A padded colour layout takes the element-by-element path, a packed one the run path.
    const Indexer padded(VectorX<std::size_t>{64, 48, 3}, DataType(DataTypeId::RGB8),
                         VectorX<std::size_t>{4, 256, 12288});
    const Indexer packed(VectorX<std::size_t>{64, 48, 3}, DataType(DataTypeId::Float32));
    for (const Indexer* indexer : {&padded, &packed}) {
        const auto source = hosttest::randomBytes(indexer->byteCount(), 3);
        const RegionCopier copier(
            *indexer, RegionX<std::size_t>(VectorX<std::size_t>{3, 5, 1}, VectorX<std::size_t>{50, 40, 2}),
            indexer->dataType());
        std::vector<std::uint8_t> expected(copier.destinationSize());
        copier.copy(source.data(), expected.data());

        std::vector<std::vector<std::uint8_t>> results(ThreadCount);
        std::vector<std::thread> threads;
        for (int t = 0; t < ThreadCount; ++t) {
            threads.emplace_back([&, t] {
                for (int round = 0; round < 50; ++round) {
                    std::vector<std::uint8_t> out(copier.destinationSize());
                    copier.copy(source.data(), out.data());
                    if (out != expected) {
                        results[t] = std::move(out);
                        return;
                    }
                }
                results[t] = expected;
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        for (const auto& result : results) {
            EXPECT_EQ(result, expected);
        }
    }
}

} // namespace
