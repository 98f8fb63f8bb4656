#include "trestan/toolkit/FormatRegistry.h"

#include "velmora/Error.h"

#include <algorithm>
#include <cctype>

namespace trestan::toolkit {

namespace {

std::string lowerCase(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

} // namespace

FrameRoles FormatSupport::frameRoles(const FileIndex& index) const {
    FrameRoles roles;
    roles.thumbnail.assign(index.frames.size(), false);
    std::size_t largest = 0;
    for (const IndexedFrame& frame : index.frames) {
        std::size_t elements = 1;
        for (const std::size_t length : frame.shape.values()) {
            elements *= length;
        }
        if (!roles.main || elements > largest) {
            roles.main = frame.index;
            largest = elements;
        }
    }
    return roles;
}

std::optional<MappedImage> FormatSupport::mapImage(const FileIndex&, std::size_t) const {
    return std::nullopt;
}

std::vector<MappedImage> FormatSupport::mapImages(const FileIndex& index) const {
    const FrameRoles roles = frameRoles(index);
    std::vector<MappedImage> images;
    for (const IndexedFrame& frame : index.frames) {
        if (!roles.isThumbnail(frame.index)) {
            if (std::optional<MappedImage> image = mapImage(index, frame.index)) {
                images.push_back(std::move(*image));
            }
        }
    }
    return images;
}

FormatRegistry& FormatRegistry::instance() {
    static FormatRegistry registry;
    return registry;
}

void FormatRegistry::add(std::unique_ptr<FormatSupport> support) {
    if (!support) {
        throw velmora::InvalidArgument("no format support to register");
    }
    if (forFormat(support->format()) != nullptr) {
        throw velmora::InvalidArgument("format " + support->format() + " is registered already");
    }
    m_formats.push_back(std::move(support));
}

const FormatSupport* FormatRegistry::forFormat(std::string_view format) const {
    for (const auto& support : m_formats) {
        if (support->format() == format) {
            return support.get();
        }
    }
    return nullptr;
}

const FormatSupport* FormatRegistry::forPath(std::string_view path) const {
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
        return nullptr;
    }
    const std::string extension = lowerCase(path.substr(dot + 1));
    for (const auto& support : m_formats) {
        const std::vector<std::string> extensions = support->extensions();
        if (std::find(extensions.begin(), extensions.end(), extension) != extensions.end()) {
            return support.get();
        }
    }
    return nullptr;
}

std::vector<std::string> FormatRegistry::extensions() const {
    std::vector<std::string> all;
    for (const auto& support : m_formats) {
        for (const std::string& extension : support->extensions()) {
            all.push_back(extension);
        }
    }
    return all;
}

} // namespace trestan::toolkit
