#include "trestan/PluginRegistry.h"

#include "velmora/Error.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fmt/format.h>
#include <system_error>

namespace trestan {

namespace {

constexpr std::string_view LibraryPrefix = "libtrestan-";
constexpr std::string_view LibrarySuffix = ".so";

bool isPluginFileName(const std::string& name) {
    return name.size() > LibraryPrefix.size() + LibrarySuffix.size() && name.starts_with(LibraryPrefix) &&
           name.ends_with(LibrarySuffix);
}

std::string toLower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return text;
}

} // namespace

std::size_t PluginRegistry::scanDirectory(const std::string& directory) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::is_directory(directory, error)) {
        return 0;
    }
    std::vector<fs::path> candidates;
    fs::directory_iterator it(directory, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        const fs::path& path = it->path();
        std::error_code typeError;
        if (isPluginFileName(path.filename().string()) && it->is_regular_file(typeError)) {
            candidates.push_back(path);
        }
    }
    if (error) {
        m_failures.push_back(
            {directory, fmt::format("cannot list plugin directory '{}': {}", directory, error.message())});
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });

    std::size_t added = 0;
    for (const fs::path& path : candidates) {
        try {
            const std::size_t before = m_plugins.size();
            add(PluginLibrary::load(path.string()));
            added += m_plugins.size() - before;
        } catch (const velmora::Error& e) {
            m_failures.push_back({path.string(), e.what()});
        }
    }
    return added;
}

void PluginRegistry::add(std::shared_ptr<PluginLibrary> library) {
    if (!library) {
        throw velmora::InvalidArgument("cannot register a null plugin library");
    }
    const std::string& name = library->plugin().name();
    const bool known = std::any_of(m_plugins.begin(), m_plugins.end(),
                                   [&](const auto& existing) { return existing->plugin().name() == name; });
    if (!known) {
        m_plugins.push_back(std::move(library));
    }
}

ExtractorPlugin* PluginRegistry::findByFormat(const std::string& format) const {
    for (const auto& library : m_plugins) {
        if (library->plugin().supportedFormats().count(format) != 0) {
            return &library->plugin();
        }
    }
    return nullptr;
}

ExtractorPlugin* PluginRegistry::findByPath(const std::string& path, std::string& format) const {
    const std::string dotted = std::filesystem::path(path).extension().string();
    if (dotted.size() < 2) {
        return nullptr; // no extension, or a bare trailing dot
    }
    const std::string extension = toLower(dotted.substr(1));
    for (const auto& library : m_plugins) {
        // The maps are meant to hold lower-case keys; comparing in lower case on both sides also
        // serves a plugin that did not follow that.
        for (const auto& [key, name] : library->plugin().extensionMap()) {
            if (toLower(key) == extension) {
                format = name;
                return &library->plugin();
            }
        }
    }
    return nullptr;
}

void PluginRegistry::initLog(velmora::LogLevel level) const {
    for (const auto& library : m_plugins) {
        library->plugin().initLog(level);
    }
}

std::vector<std::string> PluginRegistry::defaultDirectories(const std::string& executablePath) {
    namespace fs = std::filesystem;
    std::vector<std::string> directories;
    if (const char* variable = std::getenv("TRESTAN_PLUGIN_PATH")) {
        const std::string_view list(variable);
        std::size_t start = 0;
        while (start <= list.size()) {
            const std::size_t end = std::min(list.find(':', start), list.size());
            if (end > start) {
                directories.emplace_back(list.substr(start, end - start));
            }
            start = end + 1;
        }
    }
    if (!executablePath.empty()) {
        fs::path binDirectory = fs::path(executablePath).parent_path();
        if (binDirectory.empty()) {
            binDirectory = ".";
        }
        directories.push_back(
            (binDirectory / ".." / "lib" / "trestan" / "plugins").lexically_normal().string());
    }
    return directories;
}

} // namespace trestan
