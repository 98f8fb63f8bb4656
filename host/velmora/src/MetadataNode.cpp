#include "velmora/MetadataNode.h"

#include "ArenaAllocation.h"
#include "velmora/Error.h"

namespace velmora {

MetadataNode::MetadataNode(std::string name, std::shared_ptr<VariantDataValue> value)
    : m_name(std::move(name)), m_value(std::move(value)) {}

// Releasing children one by one through their own destructors would recurse once per level, and a
// deep tree (a hostile file can nest directories as deep as it likes) would overflow the stack.
// Instead, every descendant of which this tree holds the last reference hands its children to a
// local work list before it dies, so each node is destroyed with no children left.
MetadataNode::~MetadataNode() {
    Children pending = std::move(m_children);
    while (!pending.empty()) {
        std::shared_ptr<MetadataNode> node = std::move(pending.back());
        pending.pop_back();
        // Only a node that is about to die gives up its children; one that is shared elsewhere
        // keeps its subtree intact for its other owners.
        if (node && node.use_count() == 1) {
            for (auto& child : node->m_children) {
                pending.push_back(std::move(child));
            }
            node->m_children.clear();
        }
    }
}

void MetadataNode::addChild(std::shared_ptr<MetadataNode> child) {
    if (!child) {
        throw InvalidArgument("cannot add a null child to metadata node '" + m_name + "'");
    }
    m_children.push_back(std::move(child));
}

std::shared_ptr<MetadataNode> MetadataNode::child(const std::string& name) const {
    for (const auto& node : m_children) {
        if (node->m_name == name) {
            return node;
        }
    }
    return nullptr;
}

std::shared_ptr<MetadataNode> MetadataNodeFactory::create(const std::string& name,
                                                          std::shared_ptr<VariantDataValue> value) {
    return detail::makeShared<MetadataNode>(name, std::move(value));
}

std::shared_ptr<MetadataNode> MetadataNodeHelper::getNode(const std::shared_ptr<MetadataNode>& node,
                                                          const std::string& path) {
    std::shared_ptr<MetadataNode> current = node;
    if (path.empty()) {
        return current;
    }
    std::size_t start = 0;
    while (current) {
        const std::size_t end = path.find('/', start);
        const std::size_t length = end == std::string::npos ? std::string::npos : end - start;
        current = current->child(path.substr(start, length));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return current;
}

std::size_t MetadataNodeHelper::countNodes(const MetadataNode& node) {
    std::size_t count = 0;
    std::vector<const MetadataNode*> pending{&node};
    while (!pending.empty()) {
        const MetadataNode* current = pending.back();
        pending.pop_back();
        ++count;
        for (const auto& child : *current) {
            pending.push_back(child.get());
        }
    }
    return count;
}

} // namespace velmora
