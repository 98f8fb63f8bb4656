#include "Sweep.h"

#include "AllocationProbe.h"
#include "velmora/StreamAccessFactory.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>
#include <optional>
#include <typeinfo>

namespace hostile {

namespace {

using testsupport::AllocationProbe;

/// Records the first read that asks for more than the bytes left after an allocation as large.
class WatchedStream final : public velmora::StreamAccess {
public:
    explicit WatchedStream(std::shared_ptr<velmora::StreamAccess> inner) : m_inner(std::move(inner)) {}

    std::uint64_t capabilities() const override { return marked(m_inner->capabilities()); }
    std::uint64_t tell() const override { return marked(m_inner->tell()); }
    std::optional<std::uint64_t> size() const override { return marked(m_inner->size()); }
    void seek(std::int64_t offset, velmora::SeekOrigin origin) override {
        AllocationProbe::mark();
        m_inner->seek(offset, origin);
    }
    std::uint64_t read(std::uint64_t count, void* destination) override {
        const std::uint64_t offset = m_inner->tell();
        const std::uint64_t size = m_inner->size().value_or(0);
        const std::uint64_t left = offset < size ? size - offset : 0;
        const std::size_t allocated = AllocationProbe::largestSinceMark();
        if (overdraft.empty() && count > left + Sweep::AllocationSlack && allocated >= count) {
            overdraft = "allocated " + std::to_string(allocated) + " bytes, then asked for " +
                        std::to_string(count) + " at offset " + std::to_string(offset) + " where " +
                        std::to_string(left) + " are left";
        }
        AllocationProbe::mark();
        return m_inner->read(count, destination);
    }

    std::string overdraft;

private:
    template <typename T> static T marked(T value) {
        AllocationProbe::mark();
        return value;
    }

    std::shared_ptr<velmora::StreamAccess> m_inner;
};

} // namespace

Sweep::Sweep(std::string name) : m_name(std::move(name)) {
    gatanfuzz::prepareLogger();
}

void Sweep::run(const Bytes& input, const std::function<std::string()>& describe) {
    ++m_inputs;
    gatanfuzz::Report report;
    std::size_t largest = 0;
    std::string overdraft;
    const auto start = std::chrono::steady_clock::now();
    try {
        auto stream = std::make_shared<WatchedStream>(
            velmora::StreamAccessFactory::fromMemory(input.data(), input.size()));
        std::optional<AllocationProbe> probe;
        probe.emplace();
        auto extractor = gatanfuzz::open(stream, report, gatanfuzz::Metadata::OnHeap);
        largest = AllocationProbe::largest();
        probe.reset();
        overdraft = stream->overdraft;
        if (extractor) {
            gatanfuzz::inspect(*extractor, report);
        }
    } catch (const std::exception& error) {
        fail(describe, std::string("unexpected ") + typeid(error).name() + ": " + error.what());
        return;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ++m_counts[static_cast<int>(report.outcome)];
    const std::string ending =
        std::string(" (") + gatanfuzz::outcomeName(report.outcome) + ": " + report.message + ")";
    if (seconds > MaxSeconds) {
        fail(describe, "took " + std::to_string(seconds) + " s");
    }
    if (!overdraft.empty()) {
        fail(describe, overdraft + ending);
    }
    if (largest > BookkeepingFactor * std::max(input.size(), report.widestList) + AllocationSlack) {
        fail(describe, "allocated " + std::to_string(largest) + " bytes at once from an input of " +
                           std::to_string(input.size()) + " bytes" + ending);
    }
}

void Sweep::fail(const std::function<std::string()>& describe, const std::string& why) {
    if (++m_failures <= 20) {
        ADD_FAILURE() << m_name << ": " << describe() << ": " << why;
    }
}

void Sweep::finish() const {
    std::cout << "[ sweep    ] " << m_name << ": " << m_inputs << " inputs, " << opened() << " opened, "
              << m_failures << " broke a rule" << std::endl;
}

} // namespace hostile
