#pragma once

#include "PluginHost.h"

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
    virtual int run(app::PluginHost& host) = 0;

    /// True when the command line chose this subcommand.
    bool selected() const { return m_subcommand != nullptr && m_subcommand->parsed(); }

protected:
    CLI::App* m_subcommand = nullptr;
};

} // namespace trestan::cli
