#pragma once

#include <stdexcept>
#include <string>

namespace trestan::cli {

/// Exit codes of the trestan command.
enum ExitCode : int {
    ExitSuccess = 0,
    ExitFileError = 1,  ///< a file could not be read or written
    ExitUsageError = 2, ///< the command line asks for something that cannot be done
};

/// The command line asks for something impossible: an unknown output extension, a frame that does
/// not exist, a conversion that the output format cannot hold. Ends the command with ExitUsageError.
class UsageError : public std::runtime_error {
public:
    explicit UsageError(const std::string& message);
    ~UsageError() override;
};

/// An output file could not be created or written. The message names the reason; `path()` the file.
class OutputError : public std::runtime_error {
public:
    OutputError(const std::string& path, const std::string& message);
    ~OutputError() override;

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

/// What a failure says on standard error: its message, or "out of memory" for std::bad_alloc, whose
/// own message ("std::bad_alloc") tells a user nothing.
std::string failureText(const std::exception& error);

} // namespace trestan::cli
