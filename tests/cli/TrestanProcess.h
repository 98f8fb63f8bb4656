#pragma once

#include <map>
#include <string>
#include <vector>

namespace trestan::clitest {

/// What one run of a program left behind.
struct ProcessResult {
    int exitCode = -1; ///< the exit status, or 128 + signal number when a signal ended the process
    std::string out;
    std::string err;

    /// The lines of standard error, without their newlines.
    std::vector<std::string> errLines() const;
};

/// Runs `program` with `arguments` (not including argv[0]), with the environment of the test plus
/// `environment`, and collects standard output, standard error and the exit status. Standard
/// input is /dev/null.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string>& environment = {});

/// The freshly built trestan binary.
std::string trestanPath();

/// Runs the freshly built trestan.
ProcessResult runTrestan(const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string>& environment = {});

} // namespace trestan::clitest
