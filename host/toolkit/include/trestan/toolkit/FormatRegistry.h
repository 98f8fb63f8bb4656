#pragma once

#include "trestan/toolkit/FormatSupport.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace trestan::toolkit {

/// The formats' host-side parts of this process. Each format registers one FormatSupport while the
/// program starts (TRESTAN_REGISTER_FORMAT_SUPPORT); hosts ask the registry by format name or by a
/// file's extension, and never name a format themselves.
class FormatRegistry {
public:
    /// The registry of the process.
    static FormatRegistry& instance();

    /// Adds `support`; a second support for the same format is refused with velmora::InvalidArgument.
    void add(std::unique_ptr<FormatSupport> support);

    /// The support for `format` (as the plugins name it), or null.
    const FormatSupport* forFormat(std::string_view format) const;
    /// The support whose extensions hold the extension of `path` (letter case aside), or null.
    const FormatSupport* forPath(std::string_view path) const;
    /// Every registered extension, lower case, without the dot, in registration order.
    std::vector<std::string> extensions() const;
    /// The formats, in registration order.
    const std::vector<std::unique_ptr<FormatSupport>>& formats() const { return m_formats; }

private:
    std::vector<std::unique_ptr<FormatSupport>> m_formats;
};

/// Registers a FormatSupport of type `Type` (default-constructible) before main() runs. Put it in
/// the format's support source, built as part of trestan::format_supports.
#define TRESTAN_REGISTER_FORMAT_SUPPORT(Type)                                                                \
    namespace {                                                                                              \
    [[maybe_unused]] const bool registered##Type = [] {                                                      \
        ::trestan::toolkit::FormatRegistry::instance().add(std::make_unique<Type>());                        \
        return true;                                                                                         \
    }();                                                                                                     \
    }

} // namespace trestan::toolkit
