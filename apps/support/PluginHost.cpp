#include "PluginHost.h"

#include "trestan/OptionMap.h"
#include "trestan/UnsupportedFormat.h"
#include "velmora/Error.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace trestan::app {

PluginHost::PluginHost(const std::string& executablePath, velmora::LogLevel logLevel)
    : PluginHost(PluginRegistry::defaultDirectories(executablePath), logLevel) {}

PluginHost::PluginHost(std::vector<std::string> directories, velmora::LogLevel logLevel)
    : m_directories(std::move(directories)), m_logLevel(logLevel) {}

const PluginRegistry& PluginHost::registry() {
    if (!m_scanned) {
        m_scanned = true;
        for (const std::string& directory : m_directories) {
            m_registry.scanDirectory(directory);
        }
        for (const PluginRegistry::LoadFailure& failure : m_registry.failures()) {
            std::cerr << "trestan: warning: skipped plugin " << failure.path << ": " << failure.message
                      << '\n';
        }
        m_registry.initLog(m_logLevel);
    }
    return m_registry;
}

namespace {

// Refuses what is not a regular file (a FIFO, a device, a socket) before a plugin reads from it and
// waits for a writer or reads forever. The check opens without blocking; a path that cannot be
// opened, or a directory, is left to the plugin, whose message names the reason.
void requireRegularFile(const std::string& path) {
    int descriptor = -1;
    do {
        descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        return;
    }
    struct stat status {};
    const bool known = ::fstat(descriptor, &status) == 0;
    ::close(descriptor);
    if (known && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) {
        throw velmora::Error("not a regular file");
    }
}

} // namespace

OpenedFile PluginHost::open(const std::string& path) {
    requireRegularFile(path);
    OpenedFile file;
    file.path = path;
    ExtractorPlugin* plugin = registry().findByPath(path, file.format);
    if (plugin == nullptr) {
        const std::string extension = std::filesystem::path(path).extension().string();
        if (extension.empty() || extension == ".") {
            throw UnsupportedFormat("no plugin reads files without an extension");
        }
        throw UnsupportedFormat("no plugin reads '" + extension + "' files");
    }
    file.plugin = plugin;
    file.view = plugin->open(path, file.format, OptionMap{});
    if (!file.view) {
        throw velmora::Error("the " + plugin->name() + " plugin returned no view");
    }
    return file;
}

} // namespace trestan::app
