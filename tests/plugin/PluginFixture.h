#pragma once

#include "trestan/PluginLibrary.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace plugintest {

inline const std::string& pluginPath() {
    static const std::string s_path = std::string(TRESTAN_TEST_PLUGIN_DIR) + "/libtrestan-gatan.so";
    return s_path;
}

/// The Gatan plugin, loaded once per process through the host's loader.
inline trestan::ExtractorPlugin& gatanPlugin() {
    static const std::shared_ptr<trestan::PluginLibrary> s_library =
        trestan::PluginLibrary::load(pluginPath());
    return s_library->plugin();
}

/// A file in the temporary directory holding the given bytes, removed with the object.
class TemporaryFile {
public:
    TemporaryFile(const std::vector<std::uint8_t>& bytes, const std::string& suffix) {
        static std::atomic<int> s_counter{0};
        m_path =
            (std::filesystem::temp_directory_path() /
             ("gatan-plugin-test-" + std::to_string(::getpid()) + "-" + std::to_string(s_counter++) + suffix))
                .string();
        std::ofstream out(m_path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    ~TemporaryFile() {
        std::error_code ignored;
        std::filesystem::remove(m_path, ignored);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

} // namespace plugintest
