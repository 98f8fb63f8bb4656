#pragma once

#include "Bindings.h"
#include "velmora/MetadataNode.h"

#include <memory>
#include <string>

namespace trestan::python {

/// A node of a file's metadata tree, as Python sees it. Holding one keeps its subtree alive, not the
/// file's pixels.
/// A Python str of UTF-8 `text`; bytes that are not UTF-8 become U+FFFD, as in the JSON form of trees.
py::str decodeText(const std::string& text);

class Node {
public:
    explicit Node(std::shared_ptr<velmora::MetadataNode> node) : m_node(std::move(node)) {}

    py::str name() const { return decodeText(m_node->name()); }
    const std::string& rawName() const { return m_node->name(); }
    /// None, an int, a float, a str or, for a value of other than one element, a read-only NumPy
    /// array of the stored element type.
    py::object value() const;
    py::list children() const;
    std::size_t size() const { return m_node->childCount(); }
    /// The first child of that name or, failing that, the node at that '/'-separated path; empty
    /// when there is neither.
    std::shared_ptr<velmora::MetadataNode> find(const std::string& path) const;
    /// find(), or KeyError.
    Node at(const std::string& path) const;
    py::object toDict() const;
    std::string toJson() const;
    std::string repr() const;

private:
    std::shared_ptr<velmora::MetadataNode> m_node;
};

} // namespace trestan::python
