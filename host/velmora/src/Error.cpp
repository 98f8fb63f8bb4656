#include "velmora/Error.h"

namespace velmora {

// The destructors are defined here so that the vtables and type information of the error classes
// live in libvelmora.so only: an exception thrown inside a plugin is then caught by type in the host.
Error::Error(const std::string& message) : std::runtime_error(message) {}

Error::Error(const char* message) : std::runtime_error(message) {}

Error::~Error() = default;

InvalidArgument::~InvalidArgument() = default;

} // namespace velmora
