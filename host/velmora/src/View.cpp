#include "velmora/View.h"

#include "velmora/Error.h"

#include <fmt/format.h>

namespace velmora {

View::~View() = default;

std::shared_ptr<Extension> View::extension(std::size_t id) {
    throw Error(fmt::format("view has no extension {}", id));
}

std::uint64_t View::capabilities() const {
    return 0;
}

std::shared_ptr<ViewOriginExtension> View::viewOrigin() {
    auto origin = std::dynamic_pointer_cast<ViewOriginExtension>(extension(VIEW_ORIGIN_EXTENSION));
    if (!origin) {
        throw Error(fmt::format("view has no view-origin record under extension {}",
                                static_cast<std::size_t>(VIEW_ORIGIN_EXTENSION)));
    }
    return origin;
}

} // namespace velmora
