#pragma once

#include "velmora/MetadataNode.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace trestan::gatan {

/// Read-only look-ups in a tag directory of the plugin's tree. Every look-up of a missing tag, or of
/// a tag whose value has the wrong kind, gives an empty result rather than an error, so that a
/// mapping can leave out what a file does not hold.
class DmTags {
public:
    DmTags() = default;
    explicit DmTags(const velmora::MetadataNode* node) : m_node(node) {}

    bool exists() const { return m_node != nullptr; }
    const velmora::MetadataNode* node() const { return m_node; }

    /// The tag or directory at `path`, child names separated by '/' (the first child of each name).
    DmTags at(std::string_view path) const;
    /// The child named `name` exactly, for tag names that hold a '/' ("Dispersion grating (lines/mm)").
    DmTags child(std::string_view name) const;

    /// A numeric scalar (element 0 of a run), as a double.
    std::optional<double> number(std::string_view path) const;
    /// A text value.
    std::optional<std::string> text(std::string_view path) const;
    /// A text value that is not empty.
    std::optional<std::string> nonEmptyText(std::string_view path) const;
    /// The value as JSON, typed as stored: an integer, a float, a text, or an array for a run.
    std::optional<nlohmann::json> value(std::string_view path) const;
    /// The values of a group's fields (Field0, Field1, ...) as a JSON array; empty when the group is
    /// missing or a field has no value.
    std::optional<nlohmann::json> fields(std::string_view path) const;

private:
    const velmora::MetadataNode* m_node = nullptr;
};

/// A value as JSON (see DmTags::value); empty for an empty run.
std::optional<nlohmann::json> toJson(const velmora::VariantDataValue& value);

} // namespace trestan::gatan
