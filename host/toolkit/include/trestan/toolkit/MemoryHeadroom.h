#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace trestan::toolkit {

/// How much more memory this process can take, and what sets that bound: the memory the machine has
/// available (free and reclaimable memory, and free swap), what is left under the memory limit of the
/// process's control group, or what is left of its address-space limit (ulimit -v).
struct MemoryHeadroom {
    std::uint64_t bytes = 0;
    std::string bound; ///< "bytes available on this machine", "bytes left under ...", for messages

    /// The smallest of the bounds that can be told now; nothing when none can.
    static std::optional<MemoryHeadroom> now();
};

} // namespace trestan::toolkit
