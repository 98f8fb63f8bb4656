// Loads the plugin built beside it through the installed libraries, and catches the plugin's error
// by type across the library boundary; links the installed DM metadata library.
#include "trestan/PluginRegistry.h"
#include "trestan/UnsupportedFormat.h"
#include "trestan/gatan/DmMetadata.h"
#include "velmora/StreamAccessFactory.h"

#include <iostream>

int main(int argc, char** argv) {
    // The DM metadata library links and maps: an empty tree has no main image.
    if (trestan::gatan::frameRoles(*velmora::MetadataNodeFactory::create("root"), 0).main.has_value()) {
        std::cerr << "an empty tree has a main image\n";
        return 1;
    }
    trestan::PluginRegistry registry;
    if (argc != 2 || registry.scanDirectory(argv[1]) != 1) {
        std::cerr << "expected one plugin in the directory given\n";
        return 1;
    }
    try {
        registry.plugins()[0]->plugin().open(velmora::StreamAccessFactory::fromMemory(nullptr, 0), "DM",
                                             trestan::OptionMap());
    } catch (const trestan::UnsupportedFormat& e) {
        std::cout << "caught from the plugin: " << e.what() << "\n";
        return 0;
    }
    std::cerr << "the plugin's error was not caught by type\n";
    return 1;
}
