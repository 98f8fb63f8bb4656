#pragma once

#include "velmora/MetadataNode.h"

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>

namespace trestan::cli {

/// Prints a metadata tree for people: one node per line, indented two spaces per level, with its
/// name, value type and value. Arrays show their first elements and strings their first characters,
/// each with the full length, so that a line stays readable whatever the tree holds. An array of
/// groups (a node without value whose children are the generated "item000", "item001", ...) shows
/// its first groups and how many more it holds.
///
///     ImageData
///       Calibrations
///         Brightness: float32 = 0.5
///       Data: uint16[1024] = [0, 1, 2, 3, 4, 5, 6, 7, ...]
///       Name: string = "Spectrum"
class TreePrinter {
public:
    static constexpr std::size_t ShownElements = 8;
    static constexpr std::size_t ShownTextBytes = 64;
    static constexpr std::size_t ShownGroups = 3;

    /// `maxDepth`: levels below the given node to print; none for the whole tree. A node whose
    /// children are cut off says how many it has.
    explicit TreePrinter(std::optional<std::size_t> maxDepth = std::nullopt) : m_maxDepth(maxDepth) {}

    void print(std::ostream& out, const velmora::MetadataNode& node) const;

    /// "type = value" or "type[count] = [...]" for one value.
    static std::string describeValue(const velmora::VariantDataValue& value);

private:
    void printNode(std::ostream& out, const velmora::MetadataNode& node, std::size_t depth) const;

    std::optional<std::size_t> m_maxDepth;
};

} // namespace trestan::cli
