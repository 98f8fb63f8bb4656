#pragma once

// Runs many damaged inputs through the reader and holds each outcome to the reader's rules: the file
// opens (and its whole tree and every frame read), or the open fails with velmora::Error, the allowed
// std::length_error or std::bad_alloc. Nothing else: no other exception, no input slower than
// MaxSeconds, and two rules on what an open allocates through operator new. The sweeps open with the
// metadata on the heap (gatanfuzz::Metadata::OnHeap), so that every node and value is counted; the
// fuzzer covers the plugin's arena. Pixel buffers, which come from malloc or mmap, are not counted:
// a frame may legitimately declare more than the file holds.
//
// 1. The walk never allocates room for bytes the file does not hold: no read asks for more than the
//    bytes left (plus AllocationSlack) after an allocation at least as large as the read.
// 2. Nothing else the open allocates at once exceeds BookkeepingFactor bytes per input byte plus
//    AllocationSlack. The host keeps every child node in a list of 16-byte pointers that grows by
//    doubling (so does the list with which it tears down the partial tree of a refused file), and
//    a child can take as little as one byte of the file (a one-byte group in an array of groups);
//    text grows by at most half from UTF-16 to UTF-8.

#include "GatanExercise.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace hostile {

using Bytes = std::vector<std::uint8_t>;

class Sweep {
public:
    /// Longest an input may take from open to the release of its extractor.
    static constexpr double MaxSeconds = 2.0;
    /// What an open may allocate whatever the file holds: the extractor and frame objects, an error
    /// message.
    static constexpr std::size_t AllocationSlack = 4096;
    /// Bytes of host bookkeeping an input byte, or a child of the opened tree's widest node, can
    /// cost at most (rule 2). Children normally take at least a byte of the file each; the items of
    /// arrays of groups without fields take none, and are bounded by their count instead
    /// (GatanExtractor::MaxEmptyGroupNodes per file).
    static constexpr std::size_t BookkeepingFactor = 32;
    /// Failures listed in full; the rest are counted.
    static constexpr std::size_t FailuresShown = 20;

    /// `name` heads the summary line, e.g. "every prefix of tag-kinds.dm3".
    explicit Sweep(std::string name);

    /// Runs one input. `describe` names it in a failure ("byte 1234 set to 0xff").
    void run(const Bytes& input, const std::function<std::string()>& describe);

    std::size_t inputs() const { return m_inputs; }
    std::size_t opened() const { return count(gatanfuzz::Outcome::Opened); }
    /// Inputs that ended with `outcome`.
    std::size_t count(gatanfuzz::Outcome outcome) const { return m_counts[static_cast<int>(outcome)]; }
    std::size_t failures() const { return m_failureCount; }

    /// Prints the summary line and fails the current test for every input that broke a rule.
    void finish();

private:
    void fail(const std::function<std::string()>& describe, const std::string& why);

    std::string m_name;
    std::size_t m_inputs = 0;
    std::size_t m_counts[4] = {0, 0, 0, 0}; // by gatanfuzz::Outcome
    std::size_t m_nodes = 0;
    std::size_t m_framesRead = 0;
    std::size_t m_framesSampled = 0;
    double m_slowest = 0.0;
    std::string m_slowestInput;
    std::size_t m_largestAllocation = 0;
    std::size_t m_failureCount = 0;
    std::vector<std::string> m_failures;
};

} // namespace hostile
