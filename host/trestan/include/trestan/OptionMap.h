#pragma once

#include "trestan/Export.h"

#include <map>
#include <optional>
#include <string>

namespace trestan {

/// Options handed by a host to a plugin's open: name to text value. Plugins read what they know
/// and ignore the rest.
class TRESTAN_API OptionMap {
public:
    void set(const std::string& name, const std::string& value) { m_values[name] = value; }
    bool contains(const std::string& name) const { return m_values.count(name) != 0; }
    std::optional<std::string> get(const std::string& name) const {
        auto it = m_values.find(name);
        return it == m_values.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    const std::map<std::string, std::string>& values() const { return m_values; }

private:
    std::map<std::string, std::string> m_values;
};

} // namespace trestan
