// The smallest host that opens DM files through the Gatan plugin: it loads the plugin library the way
// every host does (trestan::PluginLibrary), sets its log level as the trestan command does by default,
// and opens each file in turn, releasing it before the next one, like `trestan info` without the
// command line and the printing. bench/compare times it as a whole process.
//
//   trestan-bench-open [--plugin LIBRARY] [--log-level N] [--map] FILE...
//
// With --map it also maps each file's tags to microscopy metadata, as `trestan info` does, so that
// two runs tell what the mapping adds to opening.
//
// Prints one summary line per run as key=value pairs; exits with 1 when a file could not be opened.

#include "trestan/OptionMap.h"
#include "trestan/PluginLibrary.h"
#include "trestan/gatan/DmMetadata.h"
#include "velmora/ImageView.h"
#include "velmora/LogLevel.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#ifndef TRESTAN_BENCH_PLUGIN
#error "TRESTAN_BENCH_PLUGIN must name the Gatan plugin library"
#endif

int main(int argc, char** argv) {
    std::string pluginPath = TRESTAN_BENCH_PLUGIN;
    unsigned logLevel = 3; // the trestan command's default
    bool map = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--plugin" && i + 1 < argc) {
            pluginPath = argv[++i];
        } else if (argument == "--map") {
            map = true;
        } else if (argument == "--log-level" && i + 1 < argc) {
            logLevel = static_cast<unsigned>(std::stoul(argv[++i]));
        } else {
            files.emplace_back(argument);
        }
    }
    if (files.empty()) {
        std::cerr << "usage: trestan-bench-open [--plugin LIBRARY] [--log-level N] [--map] FILE...\n";
        return 2;
    }

    try {
        const auto library = trestan::PluginLibrary::load(pluginPath);
        trestan::ExtractorPlugin& plugin = library->plugin();
        plugin.initLog(static_cast<velmora::LogLevel>(logLevel));

        std::size_t opened = 0;
        std::size_t frames = 0;
        std::uint64_t pixelBytes = 0;
        std::size_t signals = 0;
        const auto start = std::chrono::steady_clock::now();
        for (const std::string& path : files) {
            try {
                const auto view = plugin.open(path, "DM", trestan::OptionMap{});
                const std::size_t count = view->frameCount();
                for (std::size_t k = 0; k < count; ++k) {
                    pixelBytes += view->frame(k)->indexer().byteCount();
                }
                frames += count;
                if (map) {
                    signals += trestan::gatan::mapSignals(*view).size();
                }
                ++opened;
            } catch (const std::exception& error) {
                std::cerr << "trestan-bench-open: " << path << ": " << error.what() << '\n';
            }
        }
        const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
        std::cout << "files=" << files.size() << " opened=" << opened << " frames=" << frames
                  << " pixelBytes=" << pixelBytes << " signals=" << signals
                  << " openSeconds=" << seconds.count() << '\n';
        return opened == files.size() ? 0 : 1;
    } catch (const std::exception& error) {
        std::cerr << "trestan-bench-open: " << error.what() << '\n';
        return 1;
    }
}
