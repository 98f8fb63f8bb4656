#pragma once

#include "velmora/MetadataNode.h"

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>

namespace trestan::toolkit {

/// Turns a metadata tree into JSON: each node {"name", "value"?, "children"?}, with "value" left
/// out for a node without value and "children" for a node without children. A value is
/// {"type", "data"}: "data" is a number for exactly one element, an array for any other count
/// (none included), a string for text. float32 elements keep their shortest float32 digits;
/// non-finite floats become null.
class JsonTreeWriter {
public:
    /// `maxDepth`: levels below the given node to include; none for the whole tree.
    explicit JsonTreeWriter(std::optional<std::size_t> maxDepth = std::nullopt) : m_maxDepth(maxDepth) {}

    nlohmann::ordered_json toJson(const velmora::MetadataNode& node) const;

    /// The {"type", "data"} object of one value.
    static nlohmann::ordered_json valueToJson(const velmora::VariantDataValue& value);

private:
    nlohmann::ordered_json nodeToJson(const velmora::MetadataNode& node, std::size_t depth) const;

    std::optional<std::size_t> m_maxDepth;
};

} // namespace trestan::toolkit
