#include "trestan/Plugin.h"

#include "trestan/UnsupportedFormat.h"

namespace trestan {

// Out-of-line destructors anchor the vtables and type information of the plugin interfaces in
// libtrestan.so, so that a plugin and the host agree on them.
Plugin::~Plugin() = default;

FormatPlugin::~FormatPlugin() = default;

ExtractorPlugin::~ExtractorPlugin() = default;

int ExtractorPlugin::api() const {
    return ApiVersion;
}

UnsupportedFormat::~UnsupportedFormat() = default;

} // namespace trestan
