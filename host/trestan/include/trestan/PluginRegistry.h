#pragma once

#include "trestan/Export.h"
#include "trestan/PluginLibrary.h"

#include <memory>
#include <string>
#include <vector>

namespace trestan {

/// The plugins a host knows, found in plugin directories.
class TRESTAN_API PluginRegistry {
public:
    /// A library that could not be loaded while scanning, with the reason.
    struct LoadFailure {
        std::string path;
        std::string message;
    };

    /// Loads every `libtrestan-*.so` in `directory` (not recursive), in name order. A directory that
    /// does not exist is skipped; a library that fails to load is recorded in failures() and skipped.
    /// Returns the number of plugins added.
    std::size_t scanDirectory(const std::string& directory);

    /// Adds one plugin library; a plugin whose name is already registered is not added twice.
    void add(std::shared_ptr<PluginLibrary> library);

    const std::vector<std::shared_ptr<PluginLibrary>>& plugins() const { return m_plugins; }
    const std::vector<LoadFailure>& failures() const { return m_failures; }

    /// The first plugin that serves `format` (exact match), or nullptr.
    ExtractorPlugin* findByFormat(const std::string& format) const;
    /// The first plugin whose extension map has the extension of `path` (compared in lower case).
    /// Sets `format` to the format that the map names. Returns nullptr when none claims it.
    ExtractorPlugin* findByPath(const std::string& path, std::string& format) const;

    /// Calls initLog on every plugin.
    void initLog(velmora::LogLevel level) const;

    /// Plugin directories for a host binary: the directories of the environment variable
    /// TRESTAN_PLUGIN_PATH (':'-separated, empty entries skipped) first, then
    /// `<dir of executable>/../lib/trestan/plugins`, normalised (left out when `executablePath` is empty).
    static std::vector<std::string> defaultDirectories(const std::string& executablePath);

private:
    std::vector<std::shared_ptr<PluginLibrary>> m_plugins;
    std::vector<LoadFailure> m_failures;
};

} // namespace trestan
