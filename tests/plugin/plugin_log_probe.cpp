// Loads the Gatan plugin the way a host does, sets its log level (zero, one or two times) and opens
// one file, so that a test can read exactly what the plugin wrote to standard output.
//
//   plugin_log_probe FILE [LEVEL [LEVEL]]
//
// Every initLog is tried even after one failed. Exit code: the number of initLog calls that failed
// (0 to 2), 5 when the open failed. Error messages go to standard error.

#include "trestan/PluginLibrary.h"

#include <cstdio>
#include <iostream>

int main(int argc, char** argv) {
    auto library =
        trestan::PluginLibrary::load(std::string(TRESTAN_TEST_PLUGIN_DIR) + "/libtrestan-gatan.so");
    int failures = 0;
    for (int i = 2; i < argc; ++i) {
        try {
            library->plugin().initLog(static_cast<velmora::LogLevel>(std::stoul(argv[i])));
        } catch (const std::exception& error) {
            std::cerr << error.what() << '\n';
            ++failures;
        }
    }
    try {
        library->plugin().open(std::string(argv[1]), "DM", trestan::OptionMap{});
        std::fflush(stdout);
    } catch (const std::exception& error) {
        std::cerr << error.what() << '\n';
        return 5;
    }
    return failures;
}
