#pragma once

#include "Command.h"

#include <string>
#include <vector>

namespace trestan::cli {

/// `trestan info FILE...`: reads each file's index in turn (its pixels only for --checksum, a piece at
/// a time) and summarises it, for people or as JSON. A file that fails is reported on standard error
/// and does not stop the others.
class InfoCommand final : public Command {
public:
    void configure(CLI::App& app) override;
    int run(toolkit::PluginHost& host) override;

private:
    std::vector<std::string> m_files;
    bool m_json = false;
    bool m_checksum = false;
    bool m_allowTruncated = false;
    bool m_viaPlugin = false;
};

} // namespace trestan::cli
