#pragma once

#include <string>

#include "trestan/Export.h"
#include "velmora/Error.h"

namespace trestan {

/// A plugin was asked for a format it does not serve.
class TRESTAN_API UnsupportedFormat : public velmora::Error {
public:
    using velmora::Error::Error;
    ~UnsupportedFormat() override;
};

} // namespace trestan
