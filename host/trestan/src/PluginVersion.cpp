#include "trestan/PluginVersion.h"

#include "velmora/Error.h"

#include <fmt/format.h>
#include <limits>

namespace trestan {

PluginVersion::PluginVersion(std::uint32_t major, std::uint32_t minor, std::uint32_t patch)
    : m_major(major), m_minor(minor), m_patch(patch) {}

PluginVersion::PluginVersion(const std::string& text) {
    const auto refuse = [&](const char* reason) {
        throw velmora::InvalidArgument(fmt::format("invalid plugin version '{}': {}", text, reason));
    };
    std::uint32_t* parts[] = {&m_major, &m_minor, &m_patch};
    std::size_t part = 0;
    std::uint64_t number = 0;
    bool hasDigits = false;
    for (char c : text) {
        if (c == '.') {
            if (!hasDigits) {
                refuse("empty number");
            }
            if (part == 2) {
                refuse("more than three numbers");
            }
            *parts[part++] = static_cast<std::uint32_t>(number);
            number = 0;
            hasDigits = false;
        } else if (c >= '0' && c <= '9') {
            number = number * 10 + static_cast<std::uint64_t>(c - '0');
            if (number > std::numeric_limits<std::uint32_t>::max()) {
                refuse("number above 4294967295");
            }
            hasDigits = true;
        } else {
            refuse("only digits and dots are allowed");
        }
    }
    if (!hasDigits) {
        refuse("empty number");
    }
    *parts[part] = static_cast<std::uint32_t>(number);
}

std::string PluginVersion::toString() const {
    return fmt::format("{}.{}.{}", m_major, m_minor, m_patch);
}

std::ostream& operator<<(std::ostream& out, const PluginVersion& version) {
    return out << version.toString();
}

} // namespace trestan
