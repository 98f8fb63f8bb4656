#pragma once

#include "GatanHandle.h"
#include "trestan/gatan/DmIndex.h"

namespace trestan::gatan {

/// Makes the index of the file attached to a handle, as the plugin's open reads it up to its pixels.
class DmIndexBuilder {
public:
    /// Walks `handle`'s file silently and describes every "ImageList" entry. The handle's stream is
    /// left at the last frame's pixels, none of which is read.
    static DmIndex build(GatanHandle& handle);
};

} // namespace trestan::gatan
