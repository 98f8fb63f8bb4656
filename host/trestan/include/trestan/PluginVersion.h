#pragma once

#include "trestan/Export.h"

#include <compare>
#include <cstdint>
#include <ostream>
#include <string>

namespace trestan {

/// A plugin's version, "major.minor.patch". Compared component by component.
class TRESTAN_API PluginVersion {
public:
    PluginVersion() = default;
    PluginVersion(std::uint32_t major, std::uint32_t minor, std::uint32_t patch);
    /// Parses "MAJOR", "MAJOR.MINOR" or "MAJOR.MINOR.PATCH" (missing parts are 0); anything else,
    /// including empty parts, signs, spaces and numbers above 2^32 - 1, fails with velmora::InvalidArgument.
    explicit PluginVersion(const std::string& text);

    std::uint32_t major() const { return m_major; }
    std::uint32_t minor() const { return m_minor; }
    std::uint32_t patch() const { return m_patch; }

    /// "major.minor.patch".
    std::string toString() const;

    friend auto operator<=>(const PluginVersion&, const PluginVersion&) = default;
    friend bool operator==(const PluginVersion&, const PluginVersion&) = default;

private:
    std::uint32_t m_major = 0;
    std::uint32_t m_minor = 0;
    std::uint32_t m_patch = 0;
};

TRESTAN_API std::ostream& operator<<(std::ostream& out, const PluginVersion& version);

} // namespace trestan
