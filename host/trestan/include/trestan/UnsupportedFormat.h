#pragma once

#include "trestan/Export.h"
#include "velmora/Error.h"

#include <string>

namespace trestan {

/// A plugin was asked for a format it does not serve.
class TRESTAN_API UnsupportedFormat : public velmora::Error {
public:
    using velmora::Error::Error;
    ~UnsupportedFormat() override;
};

} // namespace trestan
