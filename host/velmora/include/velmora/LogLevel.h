#pragma once

#include <cstdint>

namespace velmora {

/// Verbosity handed by a host to its plugins: 0 silences everything, 6 lets every trace through.
/// Values above 6 can be represented (they arrive from command lines and configuration) and are
/// refused by whoever interprets them.
enum class LogLevel : std::uint32_t {
    Off = 0,
    Critical = 1,
    Error = 2,
    Warning = 3,
    Info = 4,
    Debug = 5,
    Trace = 6,
};

} // namespace velmora
