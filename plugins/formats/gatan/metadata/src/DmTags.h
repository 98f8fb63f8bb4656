#pragma once

#include "velmora/MetadataNode.h"

#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
    /// A text value. Besides DM's own text tags, an array of 8-bit integers, which other writers
    /// use for text, is read as text (UTF-8 when it is valid UTF-8, else Latin-1) up to its first NUL.
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

/// Look-ups in several tag directories in turn: each gives the first directory's value that is
/// there. The first directory is an image's own "ImageTags"; the others hold what the images it was
/// made from recorded.
class TagSet {
public:
    explicit TagSet(std::vector<DmTags> directories) : m_directories(std::move(directories)) {}

    /// Whether some directory has the tag or directory at `path`.
    bool has(std::string_view path) const;
    std::optional<double> number(std::string_view path) const;
    std::optional<std::string> text(std::string_view path) const;
    std::optional<std::string> nonEmptyText(std::string_view path) const;
    std::optional<nlohmann::json> value(std::string_view path) const;
    std::optional<nlohmann::json> fields(std::string_view path) const;

    /// The first of `paths`, in order, that has a value, looked for in the first directory before
    /// the next.
    std::optional<double> number(std::initializer_list<std::string_view> paths) const;
    std::optional<std::string> nonEmptyText(std::initializer_list<std::string_view> paths) const;

    const std::vector<DmTags>& directories() const { return m_directories; }

private:
    std::vector<DmTags> m_directories;
};

/// A value as JSON (see DmTags::value); empty for an empty run.
std::optional<nlohmann::json> toJson(const velmora::VariantDataValue& value);

} // namespace trestan::gatan
