#include "velmora/Extension.h"

#include <atomic>

namespace velmora {

Extension::~Extension() = default;

ViewOriginExtension::~ViewOriginExtension() = default;

std::uint64_t UidGenerator::generate() {
    static std::atomic<std::uint64_t> s_next{1};
    // 0 means "no identifier"; it could only come back after 2^64 calls, but skipping it costs nothing.
    std::uint64_t uid = 0;
    while (uid == 0) {
        uid = s_next.fetch_add(1, std::memory_order_relaxed);
    }
    return uid;
}

} // namespace velmora
