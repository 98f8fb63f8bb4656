#pragma once

#include "Command.h"

namespace trestan::cli {

/// `trestan formats`: the plugins found, with name, version, formats and file extensions.
class FormatsCommand final : public Command {
public:
    void configure(CLI::App& app) override;
    int run(toolkit::PluginHost& host) override;

private:
    bool m_json = false;
};

} // namespace trestan::cli
