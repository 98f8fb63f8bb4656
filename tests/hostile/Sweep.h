#pragma once

// Runs damaged inputs through the reader as the fuzzer runs them (fuzz/support) and holds each
// outcome to the reader's rules: the file opens (and its whole tree and every frame read), or the
// open fails with velmora::Error, the allowed std::length_error or std::bad_alloc. Nothing else: no
// other exception, no input slower than MaxSeconds, and two rules on what an open allocates through
// operator new (the metadata is put on the heap so that every node is counted; pixel buffers come
// from malloc or mmap and may legitimately exceed a truncated file):
//
// 1. The walk never allocates room for bytes the file does not hold: no read asks for more than the
//    bytes left (plus AllocationSlack) after an allocation at least as large as the read.
// 2. Nothing else allocated at once exceeds BookkeepingFactor bytes per input byte, or per child of
//    the widest node (items of arrays of groups without fields take no bytes), plus AllocationSlack.

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
    static constexpr double MaxSeconds = 2.0;
    static constexpr std::size_t AllocationSlack = 4096;
    static constexpr std::size_t BookkeepingFactor = 32;

    /// `name` heads the summary line.
    explicit Sweep(std::string name);
    /// Runs one input; `describe` names it in a failure ("byte 1234 set to 0xff").
    void run(const Bytes& input, const std::function<std::string()>& describe);
    std::size_t count(gatanfuzz::Outcome outcome) const { return m_counts[static_cast<int>(outcome)]; }
    std::size_t opened() const { return count(gatanfuzz::Outcome::Opened); }
    /// Prints the summary line; the test has failed already for every input that broke a rule.
    void finish() const;

private:
    void fail(const std::function<std::string()>& describe, const std::string& why);

    std::string m_name;
    std::size_t m_inputs = 0;
    std::size_t m_counts[4] = {0, 0, 0, 0}; // by gatanfuzz::Outcome
    std::size_t m_failures = 0;
};

} // namespace hostile
