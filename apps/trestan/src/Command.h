#pragma once

#include "trestan/toolkit/HostFile.h"
#include "trestan/toolkit/PluginHost.h"

#include <CLI/CLI.hpp>

namespace trestan::cli {

/// One subcommand of trestan: registers its options with the parser, then runs when chosen.
class Command {
public:
    virtual ~Command() = default;

    /// Adds the subcommand and its options to `app`.
    virtual void configure(CLI::App& app) = 0;

    /// Runs the command after a successful parse and returns the exit code. Failures of single
    /// files are reported by the command; UsageError and other exceptions leave it.
    virtual int run(toolkit::PluginHost& host) = 0;

    /// True when the command line chose this subcommand.
    bool selected() const { return m_subcommand != nullptr && m_subcommand->parsed(); }

protected:
    /// How a command that describes files reads them: through the format's index (tags only), or
    /// through the plugin when asked to (`viaPlugin`) or when the plugins log their reading (log
    /// level 4, info, and above), which only their own open does.
    static toolkit::ReadThrough readThrough(const toolkit::PluginHost& host, bool viaPlugin) {
        return viaPlugin || host.logLevel() >= velmora::LogLevel::Info ? toolkit::ReadThrough::Plugin
                                                                       : toolkit::ReadThrough::Index;
    }

    CLI::App* m_subcommand = nullptr;
};

} // namespace trestan::cli
