#pragma once

#include "Command.h"

#include <string>
#include <vector>

namespace trestan::cli {

/// `trestan scan PATH...`: opens many files on several threads and prints one line per file, as
/// JSON or CSV, in the order the paths were given (directories walked in name order). A file that
/// fails gives a line with its error and the scan goes on; the exit code is then 1.
class ScanCommand final : public Command {
public:
    void configure(CLI::App& app) override;
    int run(toolkit::PluginHost& host) override;

private:
    std::vector<std::string> m_paths;
    bool m_csv = false;
    unsigned m_jobs = 0;
};

} // namespace trestan::cli
