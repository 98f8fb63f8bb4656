#pragma once

#include "ByteSources.h"
#include "dmwriter/DmWriter.h"
#include "trestan/PluginLibrary.h"

#include <memory>
#include <string>

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

/// The smallest file the reader accepts: a header and a root directory with an empty "ImageList".
inline dmwriter::Bytes minimalFile(dmwriter::Version version) {
    dmwriter::DmFile file(version);
    file.root().addDirectory("ImageList");
    return file.toBytes();
}

} // namespace plugintest
