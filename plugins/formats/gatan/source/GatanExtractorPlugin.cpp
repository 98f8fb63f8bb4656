#include "GatanExtractorPlugin.h"

const std::unordered_set<std::string> GatanExtractorPlugin::s_supportedFormats{"DM"};
const std::unordered_map<std::string, std::string> GatanExtractorPlugin::s_extensionMapping{{"dm3", "DM"},
                                                                                            {"dm4", "DM"}};

GatanExtractorPlugin::~GatanExtractorPlugin() = default;

const std::unordered_set<std::string>& GatanExtractorPlugin::supportedFormats() const {
    return s_supportedFormats;
}

const std::unordered_map<std::string, std::string>& GatanExtractorPlugin::extensionMap() const {
    return s_extensionMapping;
}

/// The plugin object that hosts look up by name; the only symbol the library exports.
extern "C" __attribute__((visibility("default"))) GatanExtractorPlugin trestan_extractor_plugin;
GatanExtractorPlugin trestan_extractor_plugin;
