#pragma once

#include "trestan/Export.h"
#include "trestan/Plugin.h"

#include <memory>
#include <string>

namespace trestan {

/// A plugin shared object loaded into the process. The library is loaded so that it is never
/// unloaded: views, frames and log sinks made by a plugin may outlive every handle to it, and their
/// code must stay mapped for as long as they can run.
class TRESTAN_API PluginLibrary {
public:
    /// Loads `path` and finds its `trestan_extractor_plugin` object. Fails with velmora::Error naming
    /// the path and the loader's reason when the file cannot be loaded, when it has no such symbol,
    /// or when the plugin's api() is not ExtractorPlugin::ApiVersion.
    static std::shared_ptr<PluginLibrary> load(const std::string& path);

    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    const std::string& path() const { return m_path; }
    /// The plugin object; valid for the life of the process.
    ExtractorPlugin& plugin() const { return *m_plugin; }

private:
    PluginLibrary(std::string path, void* handle, ExtractorPlugin* plugin);

    std::string m_path;
    void* m_handle;
    ExtractorPlugin* m_plugin;
};

} // namespace trestan
