#include "CommandLineError.h"
#include "ExportCommand.h"
#include "FormatsCommand.h"
#include "InfoCommand.h"
#include "ScanCommand.h"
#include "TreeCommand.h"
#include "trestan/toolkit/PluginHost.h"

#include <CLI/CLI.hpp>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <system_error>

namespace {

// The running executable, for finding the plugins installed beside it; argv[0] when /proc is
// not available.
std::string executablePath(const char* argv0) {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string(argv0) : self.string();
}

} // namespace

int main(int argc, char** argv) {
    using namespace trestan::cli;
    // A write past the file size limit fails with EFBIG and is reported, instead of the signal
    // ending the process without a word (and leaving a staged export behind).
    std::signal(SIGXFSZ, SIG_IGN);

    CLI::App app{"Reads image files through format plugins: lists formats, summarises files, prints "
                 "metadata trees and exports frames.",
                 "trestan"};
    app.set_version_flag("--version", std::string("trestan ") + TRESTAN_VERSION,
                         "Print the version and exit");
    app.require_subcommand(1);
    app.fallthrough();
    unsigned logLevel = 3;
    app.add_option(
           "--log-level", logLevel,
           "Plugin log level, 0 (off) to 6 (trace); from 4 on, info and tree read files through the plugin")
        ->check(CLI::Range(0U, 6U))
        ->capture_default_str();

    FormatsCommand formats;
    InfoCommand info;
    TreeCommand tree;
    ExportCommand exportFrame;
    ScanCommand scan;
    Command* const commands[] = {&formats, &info, &tree, &exportFrame, &scan};
    for (Command* command : commands) {
        command->configure(app);
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) {
            return app.exit(error); // --help
        }
        std::cerr << "trestan: " << error.what() << "\nRun 'trestan --help' for more information.\n";
        return ExitUsageError;
    }

    trestan::toolkit::PluginHost host(executablePath(argv[0]), static_cast<velmora::LogLevel>(logLevel));
    try {
        for (Command* command : commands) {
            if (command->selected()) {
                const int exitCode = command->run(host);
                // Output lost to a full disk or a closed pipe is a failure, not a success.
                if (!std::cout.flush()) {
                    std::cerr << "trestan: cannot write to standard output\n";
                    return ExitFileError;
                }
                return exitCode;
            }
        }
    } catch (const UsageError& error) {
        std::cout.flush();
        std::cerr << "trestan: " << error.what() << '\n';
        return ExitUsageError;
    } catch (const std::exception& error) {
        std::cout.flush();
        std::cerr << "trestan: " << failureText(error) << '\n';
        return ExitFileError;
    }
    return ExitUsageError;
}
