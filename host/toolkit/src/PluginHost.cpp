#include "trestan/toolkit/PluginHost.h"

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

namespace trestan::toolkit {

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

// The check opens without blocking, so that a FIFO is not waited on.
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

ExtractorPlugin& PluginHost::pluginFor(const std::string& path, std::string& format) {
    ExtractorPlugin* plugin = registry().findByPath(path, format);
    if (plugin == nullptr) {
        const std::string extension = std::filesystem::path(path).extension().string();
        if (extension.empty() || extension == ".") {
            throw UnsupportedFormat("no plugin reads files without an extension");
        }
        throw UnsupportedFormat("no plugin reads '" + extension + "' files");
    }
    return *plugin;
}

OpenedFile PluginHost::open(const std::string& path) {
    requireRegularFile(path);
    OpenedFile file;
    file.path = path;
    ExtractorPlugin* plugin = &pluginFor(path, file.format);
    file.plugin = plugin;
    file.view = plugin->open(path, file.format, OptionMap{});
    if (!file.view) {
        throw velmora::Error("the " + plugin->name() + " plugin returned no view");
    }
    return file;
}

} // namespace trestan::toolkit
