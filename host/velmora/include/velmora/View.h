#pragma once

#include "velmora/Export.h"
#include "velmora/Extension.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace velmora {

/// Capability flags of a view.
enum ViewCapability : std::uint64_t {
    VIEW_READ = 1,
    VIEW_WRITE = 2,
    VIEW_RESHAPE = 4,
    VIEW_BUFFER = 8,
};

/// Base of every view: extensions and capabilities.
class VELMORA_API View {
public:
    virtual ~View();

    /// The extension registered under `id`. The default view has none and throws velmora::Error.
    virtual std::shared_ptr<Extension> extension(std::size_t id);
    /// Bitwise OR of ViewCapability flags; 0 by default.
    virtual std::uint64_t capabilities() const;

    /// The view's own view-origin record (extension VIEW_ORIGIN_EXTENSION). Throws velmora::Error
    /// when the view has none.
    std::shared_ptr<ViewOriginExtension> viewOrigin();
};

} // namespace velmora
