#include "Sweep.h"

#include "AllocationWatch.h"
#include "velmora/StreamAccessFactory.h"

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
    std::optional<WatchedStream::Overdraft> overdraft;
    try {
        auto stream = std::make_shared<WatchedStream>(
            velmora::StreamAccessFactory::fromMemory(input.data(), input.size()), AllocationSlack);
        std::optional<AllocationWatch> watch;
        watch.emplace();
        auto extractor = gatanfuzz::open(stream, report, gatanfuzz::Metadata::OnHeap);
        largest = AllocationWatch::largest();
        watch.reset();
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
    if (largest > BookkeepingFactor * input.size() + AllocationSlack) {
        fail(describe, "allocated " + std::to_string(largest) + " bytes at once from an input of " +
                           std::to_string(input.size()) + " bytes" + ending);
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
