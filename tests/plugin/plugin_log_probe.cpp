// Loads the Gatan plugin the way a host does, sets its log level (zero, one or two times) and opens
// one file, so that a test can read exactly what the plugin wrote to standard output.
//
//   plugin_log_probe FILE [LEVEL [LEVEL]]
//
// Every initLog is tried even after one failed. Exit code: the number of initLog calls that failed
// (0 to 2), 5 when the open failed, 9 on bad arguments. Error messages go to standard error.

#include "trestan/PluginLibrary.h"

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::cerr << "usage: plugin_log_probe FILE [LEVEL [LEVEL]]\n";
        return 9;
    }
    auto library =
        trestan::PluginLibrary::load(std::string(TRESTAN_TEST_PLUGIN_DIR) + "/libtrestan-gatan.so");
    trestan::ExtractorPlugin& plugin = library->plugin();
    int failures = 0;
    for (int i = 2; i < argc; ++i) {
        try {
            plugin.initLog(static_cast<velmora::LogLevel>(std::stoul(argv[i])));
        } catch (const std::exception& error) {
            std::cerr << error.what() << '\n';
            ++failures;
        }
    }
    try {
        auto view = plugin.open(std::string(argv[1]), "DM", trestan::OptionMap{});
        std::fflush(stdout);
    } catch (const std::exception& error) {
        std::cerr << error.what() << '\n';
        return 5;
    }
    return failures;
}
