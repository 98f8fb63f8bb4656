#pragma once

#include "trestan/PluginRegistry.h"
#include "velmora/ImageView.h"
#include "velmora/LogLevel.h"

#include <memory>
#include <string>
#include <vector>

namespace trestan::toolkit {

/// A file opened by the plugin that claims its extension. Holding it keeps the view, and with it
/// everything the plugin read, alive.
struct OpenedFile {
    std::string path;
    std::string format;
    const ExtractorPlugin* plugin = nullptr;
    std::shared_ptr<velmora::MultiImageView> view;
};

/// The plugins of a host process: found in its plugin directories on first use, with the host's
/// log level handed to each. Shared by the trestan command and the Python module.
class PluginHost {
public:
    /// Searches the default plugin directories of the executable (PluginRegistry::defaultDirectories).
    PluginHost(const std::string& executablePath, velmora::LogLevel logLevel);
    /// Searches `directories`, in this order.
    PluginHost(std::vector<std::string> directories, velmora::LogLevel logLevel);

    /// The registry, scanned on first call. Libraries that fail to load are reported once on
    /// standard error and skipped.
    const PluginRegistry& registry();

    /// The log level handed to the plugins.
    velmora::LogLevel logLevel() const { return m_logLevel; }

    /// The directories searched for plugins, in search order.
    const std::vector<std::string>& directories() const { return m_directories; }

    /// The plugin whose extension map names the extension of `path`, and the format it gives it.
    /// Throws trestan::UnsupportedFormat when no plugin claims it.
    ExtractorPlugin& pluginFor(const std::string& path, std::string& format);

    /// Opens `path` with the plugin whose extension map names its extension. Throws
    /// velmora::Error("not a regular file") for a FIFO, device or socket, and
    /// trestan::UnsupportedFormat when no plugin claims it; the plugin's own errors pass through.
    OpenedFile open(const std::string& path);

private:
    std::vector<std::string> m_directories;
    velmora::LogLevel m_logLevel;
    PluginRegistry m_registry;
    bool m_scanned = false;
};

/// Throws velmora::Error("not a regular file") when `path` names a FIFO, a device or a socket, which
/// a reader would wait on or read forever. A path that cannot be opened, and a directory, pass: the
/// reader's own message names the reason.
void requireRegularFile(const std::string& path);

} // namespace trestan::toolkit
