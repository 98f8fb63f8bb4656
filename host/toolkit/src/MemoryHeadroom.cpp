#include "trestan/toolkit/MemoryHeadroom.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <unistd.h>

namespace trestan::toolkit {

namespace {

// The first number of a file such as memory.max ("max" and missing files give nothing).
std::optional<std::uint64_t> numberIn(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::uint64_t value = 0;
    if (in >> value) {
        return value;
    }
    return std::nullopt;
}

// MemAvailable plus SwapFree from /proc/meminfo.
std::optional<std::uint64_t> machineAvailable() {
    std::ifstream in("/proc/meminfo");
    std::string key;
    std::uint64_t kilobytes = 0;
    std::string unit;
    std::optional<std::uint64_t> available;
    std::uint64_t swap = 0;
    while (in >> key >> kilobytes) {
        std::getline(in, unit);
        if (key == "MemAvailable:") {
            available = kilobytes * 1024;
        } else if (key == "SwapFree:") {
            swap = kilobytes * 1024;
        }
    }
    return available ? std::optional<std::uint64_t>(*available + swap) : std::nullopt;
}

// What is left under the memory limits of this process's control group and of the groups above it,
// cgroup v2 ("0::/path": memory.max, memory.current) or v1 ("N:memory:/path": memory.limit_in_bytes,
// memory.usage_in_bytes).
std::optional<std::uint64_t> controlGroupLeft() {
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    std::optional<std::uint64_t> least;
    while (std::getline(in, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) {
            continue;
        }
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const bool unified = line.compare(0, first, "0") == 0 && controllers.empty();
        if (!unified && controllers != "memory") {
            continue;
        }
        const std::filesystem::path mount = unified ? "/sys/fs/cgroup" : "/sys/fs/cgroup/memory";
        const char* limitFile = unified ? "memory.max" : "memory.limit_in_bytes";
        const char* usageFile = unified ? "memory.current" : "memory.usage_in_bytes";
        for (std::filesystem::path group = line.substr(second + 1);; group = group.parent_path()) {
            const std::filesystem::path directory = mount / group.relative_path();
            const std::optional<std::uint64_t> limit = numberIn(directory / limitFile);
            const std::optional<std::uint64_t> usage = numberIn(directory / usageFile);
            if (limit && usage) {
                const std::uint64_t left = *limit > *usage ? *limit - *usage : 0;
                least = least ? std::min(*least, left) : left;
            }
            if (!group.has_relative_path()) {
                break;
            }
        }
    }
    return least;
}

// What is left of the address-space limit: the limit less the size of the mapped address space now.
std::optional<std::uint64_t> addressSpaceLeft() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return std::nullopt;
    }
    const std::optional<std::uint64_t> pages = numberIn("/proc/self/statm");
    const long pageSize = ::sysconf(_SC_PAGE_SIZE);
    if (!pages || pageSize <= 0) {
        return std::nullopt;
    }
    const std::uint64_t used = *pages * static_cast<std::uint64_t>(pageSize);
    return limit.rlim_cur > used ? limit.rlim_cur - used : 0;
}

} // namespace

std::optional<MemoryHeadroom> MemoryHeadroom::now() {
    std::optional<MemoryHeadroom> least;
    const auto consider = [&](std::optional<std::uint64_t> bytes, const char* bound) {
        if (bytes && (!least || *bytes < least->bytes)) {
            least = MemoryHeadroom{*bytes, bound};
        }
    };
    consider(machineAvailable(), "bytes available on this machine");
    consider(controlGroupLeft(), "bytes left under the memory limit of this process's control group");
    consider(addressSpaceLeft(), "bytes left under this process's address-space limit");
    return least;
}

} // namespace trestan::toolkit
