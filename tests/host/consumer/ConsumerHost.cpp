// Loads the plugin built beside it and checks what it reports, through the installed libraries.
#include "trestan/PluginRegistry.h"
#include "trestan/UnsupportedFormat.h"
#include "velmora/StreamAccessFactory.h"

#include <iostream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: consumer_host <plugin directory>\n";
        return 2;
    }
    trestan::PluginRegistry registry;
    if (registry.scanDirectory(argv[1]) != 1) {
        std::cerr << "expected one plugin in " << argv[1] << "\n";
        for (const auto& failure : registry.failures()) {
            std::cerr << failure.message << "\n";
        }
        return 1;
    }
    std::string format;
    trestan::ExtractorPlugin* plugin = registry.findByPath("x.TsT", format);
    if (plugin == nullptr || format != "TST" || plugin->version() != trestan::PluginVersion(1, 2, 3)) {
        std::cerr << "the plugin does not report what it should\n";
        return 1;
    }
    try {
        plugin->open(velmora::StreamAccessFactory::fromMemory(nullptr, 0), "DM", trestan::OptionMap());
    } catch (const trestan::UnsupportedFormat& e) {
        std::cout << "caught from the plugin: " << e.what() << "\n";
        return 0;
    }
    std::cerr << "the plugin's error was not caught by type\n";
    return 1;
}
