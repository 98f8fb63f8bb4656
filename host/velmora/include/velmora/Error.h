#pragma once

#include "velmora/Export.h"

#include <stdexcept>
#include <string>

namespace velmora {

/// Base of every failure raised by the host libraries and by the plugins: malformed or unsupported
/// data, I/O failures, bad arguments. The message says what failed and where.
class VELMORA_API Error : public std::runtime_error {
public:
    explicit Error(const std::string& message);
    explicit Error(const char* message);
    ~Error() override;
};

/// A caller passed an argument that the operation cannot accept (an index out of range, a region
/// outside an image, a stream without the needed capabilities).
class VELMORA_API InvalidArgument : public Error {
public:
    using Error::Error;
    ~InvalidArgument() override;
};

} // namespace velmora
