#include "CommandLineError.h"

#include <new>

namespace trestan::cli {

UsageError::UsageError(const std::string& message) : std::runtime_error(message) {}
UsageError::~UsageError() = default;

OutputError::OutputError(const std::string& path, const std::string& message)
    : std::runtime_error(message), m_path(path) {}
OutputError::~OutputError() = default;

std::string failureText(const std::exception& error) {
    return dynamic_cast<const std::bad_alloc*>(&error) != nullptr ? "out of memory" : error.what();
}

} // namespace trestan::cli
