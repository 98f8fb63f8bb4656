#include "CommandLineError.h"

namespace trestan::cli {

UsageError::UsageError(const std::string& message) : std::runtime_error(message) {}
UsageError::~UsageError() = default;

OutputError::OutputError(const std::string& path, const std::string& message)
    : std::runtime_error(message), m_path(path) {}
OutputError::~OutputError() = default;

} // namespace trestan::cli
