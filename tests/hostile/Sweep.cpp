#include "Sweep.h"

#include "AllocationProbe.h"
#include "velmora/StreamAccessFactory.h"

#include <algorithm>
#include <chrono>
#include <cxxabi.h>
#include <exception>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>
#include <optional>
#include <typeinfo>

namespace hostile {

namespace {

using testsupport::AllocationProbe;

/// A read of `requested` bytes at `offset` with only `left` left, after an allocation of `allocated`.
struct Overdraft {
    std::uint64_t offset;
    std::uint64_t requested;
    std::uint64_t left;
    std::size_t allocated;
};

/// A stream that notices when the reader asks for more bytes than are left (by more than
/// `tolerance`) after allocating room for them: for each read, the largest allocation made since
/// the reader's previous call on the stream is the candidate buffer for that read.
class WatchedStream final : public velmora::StreamAccess {
public:
    WatchedStream(std::shared_ptr<velmora::StreamAccess> inner, std::uint64_t tolerance)
        : m_inner(std::move(inner)), m_tolerance(tolerance) {}

    std::uint64_t capabilities() const override { return marked(m_inner->capabilities()); }
    std::uint64_t tell() const override { return marked(m_inner->tell()); }
    std::optional<std::uint64_t> size() const override { return marked(m_inner->size()); }
    void seek(std::int64_t offset, velmora::SeekOrigin origin) override {
        AllocationProbe::mark();
        m_inner->seek(offset, origin);
    }
    std::uint64_t read(std::uint64_t count, void* destination) override {
        const std::uint64_t offset = m_inner->tell();
        const std::optional<std::uint64_t> size = m_inner->size();
        const std::uint64_t left = size && offset < *size ? *size - offset : 0;
        const std::size_t allocated = AllocationProbe::largestSinceMark();
        if (!m_overdraft && size && count > left + m_tolerance && allocated >= count) {
            m_overdraft = Overdraft{offset, count, left, allocated};
        }
        AllocationProbe::mark();
        return m_inner->read(count, destination);
    }

    /// The first read that found a buffer allocated for bytes the file does not hold.
    const std::optional<Overdraft>& overdraft() const { return m_overdraft; }

private:
    template <typename T> static T marked(T value) {
        AllocationProbe::mark();
        return value;
    }

    std::shared_ptr<velmora::StreamAccess> m_inner;
    std::uint64_t m_tolerance;
    std::optional<Overdraft> m_overdraft;
};

std::string typeName(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                                std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

std::string milliseconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f ms", seconds * 1e3);
    return text;
}

} // namespace

Sweep::Sweep(std::string name) : m_name(std::move(name)) {
    gatanfuzz::prepareLogger();
}

void Sweep::run(const Bytes& input, const std::function<std::string()>& describe) {
    ++m_inputs;
    gatanfuzz::Report report;
    std::size_t largest = 0;
    const auto start = std::chrono::steady_clock::now();
    std::optional<Overdraft> overdraft;
    try {
        auto stream = std::make_shared<WatchedStream>(
            velmora::StreamAccessFactory::fromMemory(input.data(), input.size()), AllocationSlack);
        std::optional<AllocationProbe> probe;
        probe.emplace();
        auto extractor = gatanfuzz::open(stream, report, gatanfuzz::Metadata::OnHeap);
        largest = AllocationProbe::largest();
        probe.reset();
        overdraft = stream->overdraft();
        if (extractor) {
            gatanfuzz::inspect(*extractor, report);
        }
    } catch (const std::exception& error) {
        fail(describe, "unexpected " + typeName(typeid(error)) + ": " + error.what());
        return;
    } catch (...) {
        fail(describe, "an exception that is not a std::exception");
        return;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    ++m_counts[static_cast<int>(report.outcome)];
    m_nodes += report.nodes;
    m_framesRead += report.framesRead;
    m_framesSampled += report.framesSampled;
    if (seconds > m_slowest) {
        m_slowest = seconds;
        m_slowestInput = describe();
    }
    m_largestAllocation = std::max(m_largestAllocation, largest);
    if (seconds > MaxSeconds) {
        fail(describe, "took " + milliseconds(seconds));
    }
    const std::string ending = std::string(" (") + gatanfuzz::outcomeName(report.outcome) +
                               (report.message.empty() ? "" : ": " + report.message) + ")";
    if (overdraft) {
        fail(describe, "allocated " + std::to_string(overdraft->allocated) + " bytes, then asked for " +
                           std::to_string(overdraft->requested) + " at offset " +
                           std::to_string(overdraft->offset) + " where " + std::to_string(overdraft->left) +
                           " are left" + ending);
    }
    if (largest > BookkeepingFactor * std::max(input.size(), report.widestList) + AllocationSlack) {
        fail(describe, "allocated " + std::to_string(largest) + " bytes at once from an input of " +
                           std::to_string(input.size()) + " bytes whose widest node has " +
                           std::to_string(report.widestList) + " children" + ending);
    }
}

void Sweep::fail(const std::function<std::string()>& describe, const std::string& why) {
    ++m_failureCount;
    if (m_failures.size() < FailuresShown) {
        m_failures.push_back(describe() + ": " + why);
    }
}

void Sweep::finish() {
    using gatanfuzz::Outcome;
    const std::size_t refused = m_counts[static_cast<int>(Outcome::Refused)] +
                                m_counts[static_cast<int>(Outcome::LengthError)] +
                                m_counts[static_cast<int>(Outcome::OutOfMemory)];
    std::cout << "[ sweep    ] " << m_name << ": " << m_inputs << " inputs, " << opened() << " opened, "
              << refused << " refused (velmora::Error " << m_counts[static_cast<int>(Outcome::Refused)]
              << ", length_error " << m_counts[static_cast<int>(Outcome::LengthError)] << ", bad_alloc "
              << m_counts[static_cast<int>(Outcome::OutOfMemory)] << "), " << m_failureCount
              << " broke a rule; frames read " << m_framesRead << " whole, " << m_framesSampled
              << " sampled; slowest " << milliseconds(m_slowest) << " (" << m_slowestInput
              << "); largest allocation " << m_largestAllocation << " bytes" << std::endl;
    for (const std::string& failure : m_failures) {
        ADD_FAILURE() << m_name << ": " << failure;
    }
    if (m_failureCount > m_failures.size()) {
        ADD_FAILURE() << m_name << ": " << (m_failureCount - m_failures.size())
                      << " more inputs broke a rule";
    }
}

} // namespace hostile
