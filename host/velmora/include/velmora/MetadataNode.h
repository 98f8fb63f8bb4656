#pragma once

#include "velmora/Export.h"
#include "velmora/VariantDataValue.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace velmora {

/// A node of a metadata tree: a name, an optional value and children in insertion order. Names need
/// not be unique among siblings.
class VELMORA_API MetadataNode {
public:
    using Children = std::vector<std::shared_ptr<MetadataNode>>;
    using const_iterator = Children::const_iterator;

    MetadataNode(std::string name, std::shared_ptr<VariantDataValue> value);
    ~MetadataNode();
    MetadataNode(const MetadataNode&) = delete;
    MetadataNode& operator=(const MetadataNode&) = delete;

    const std::string& name() const { return m_name; }
    /// The value, or an empty pointer for a node without value.
    const std::shared_ptr<VariantDataValue>& value() const { return m_value; }

    /// Appends a child (null children are refused with velmora::InvalidArgument).
    void addChild(std::shared_ptr<MetadataNode> child);
    /// The first child named `name`, or an empty pointer.
    std::shared_ptr<MetadataNode> child(const std::string& name) const;
    std::size_t childCount() const { return m_children.size(); }
    const std::shared_ptr<MetadataNode>& childAt(std::size_t index) const { return m_children.at(index); }

    const_iterator begin() const { return m_children.begin(); }
    const_iterator end() const { return m_children.end(); }

private:
    std::string m_name;
    std::shared_ptr<VariantDataValue> m_value;
    Children m_children;
};

/// Makes metadata nodes.
class VELMORA_API MetadataNodeFactory {
public:
    static std::shared_ptr<MetadataNode> create(const std::string& name,
                                                std::shared_ptr<VariantDataValue> value = nullptr);
};

/// Tree look-ups.
class VELMORA_API MetadataNodeHelper {
public:
    /// Follows a path of child names separated by '/' ("Calibrations/Dimension") from `node`, taking
    /// the first child of each name. Returns an empty pointer when a step is missing; an empty path
    /// gives `node` itself.
    static std::shared_ptr<MetadataNode> getNode(const std::shared_ptr<MetadataNode>& node,
                                                 const std::string& path);

    /// Number of nodes in the tree below and including `node`.
    static std::size_t countNodes(const MetadataNode& node);
};

} // namespace velmora
