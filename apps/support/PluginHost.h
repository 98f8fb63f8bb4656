#pragma once

#include "trestan/PluginRegistry.h"
#include "velmora/ImageView.h"
#include "velmora/LogLevel.h"

#include <memory>
#include <string>
#include <vector>

namespace trestan::cli {

/// A file opened by the plugin that claims its extension. Holding it keeps the view, and with it
/// everything the plugin read, alive.
struct OpenedFile {
    std::string path;
    std::string format;
    const ExtractorPlugin* plugin = nullptr;
    std::shared_ptr<velmora::MultiImageView> view;
};

/// The plugins of this run: found in the default plugin directories of the executable on first
/// use, with the log level of the command line handed to each.
class PluginHost {
public:
    PluginHost(std::string executablePath, velmora::LogLevel logLevel);

    /// The registry, scanned on first call. Libraries that fail to load are reported once on
    /// standard error and skipped.
    const PluginRegistry& registry();

    /// The directories searched for plugins, in search order.
    const std::vector<std::string>& directories() const { return m_directories; }

    /// Opens `path` with the plugin whose extension map names its extension. Throws
    /// velmora::Error when no plugin claims it; the plugin's own errors pass through.
    OpenedFile open(const std::string& path);

private:
    std::vector<std::string> m_directories;
    velmora::LogLevel m_logLevel;
    PluginRegistry m_registry;
    bool m_scanned = false;
};

} // namespace trestan::cli
