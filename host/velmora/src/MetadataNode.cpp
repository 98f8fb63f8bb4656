#include "velmora/MetadataNode.h"

#include "ArenaAllocation.h"
#include "velmora/Error.h"

#include <cstddef>
#include <cstring>
#include <fmt/format.h>
#include <iterator>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

namespace velmora {

static_assert(sizeof(MetadataNode) == 32, "a node is its link, its name and its value");
static_assert(alignof(MetadataArena) > 1, "the lowest bit of an arena's address is free for the tag");

std::shared_ptr<VariantDataValue> MetadataNode::value() const {
    if (m_value.isNone()) {
        return nullptr;
    }
    return std::shared_ptr<VariantDataValue>(arenaPointer()->shared_from_this(),
                                             const_cast<VariantDataValue*>(&m_value));
}

std::shared_ptr<MetadataNode> MetadataNode::shared() const {
    return std::shared_ptr<MetadataNode>(arenaPointer()->shared_from_this(), const_cast<MetadataNode*>(this));
}

void MetadataNode::reserveChildrenSlowly(std::size_t count) {
    ChildList* const old = children();
    const std::uint32_t held = old == nullptr ? 0 : old->count;
    if (count <= (old == nullptr ? 0 : old->capacity)) {
        return;
    }
    if (count > std::numeric_limits<std::uint32_t>::max()) {
        throw Error("metadata node '" + name() + "' cannot hold more than 4294967295 children");
    }
    const std::size_t bytes = sizeof(ChildList) + count * sizeof(MetadataNode*);
    MetadataArena* arena = arenaPointer();
    auto* list = static_cast<ChildList*>(arena->allocate(bytes, alignof(ChildList)));
    list->arena = arena;
    list->count = held;
    list->capacity = static_cast<std::uint32_t>(count);
    if (held > 0) {
        std::memcpy(list->nodes(), old->nodes(), held * sizeof(MetadataNode*));
    }
    // The old list stays in the arena unused: lists that grow step by step waste at most as much
    // as they hold.
    m_link = reinterpret_cast<std::uintptr_t>(list);
}

void MetadataNode::addChild(const std::shared_ptr<MetadataNode>& child) {
    if (!child) {
        throw InvalidArgument("cannot add a null child to metadata node '" + name() + "'");
    }
    addChild(*child);
}

void MetadataNode::addChildSlowly(MetadataNode& child) {
    if (children() == nullptr || children()->count == children()->capacity) {
        const std::size_t capacity = children() == nullptr ? 0 : children()->capacity;
        reserveChildren(capacity < 4 ? 4 : 2 * capacity);
    }
    ChildList* list = children();
    if (child.arenaPointer() != list->arena) {
        list->arena->keepAlive(child.shared());
    }
    list->nodes()[list->count++] = &child;
}

std::shared_ptr<MetadataNode> MetadataNode::child(std::string_view name) const {
    const ChildList* list = children();
    for (std::uint32_t i = 0; i < childCount(); ++i) {
        if (list->nodes()[i]->m_name->view() == name) {
            return list->nodes()[i]->shared();
        }
    }
    return nullptr;
}

std::shared_ptr<MetadataNode> MetadataNode::childAt(std::size_t index) const {
    if (index >= childCount()) {
        throw std::out_of_range("metadata node '" + name() + "' has no child " + std::to_string(index));
    }
    return children()->nodes()[index]->shared();
}

MetadataNode& MetadataNodeFactory::make(MetadataArena& arena, std::string_view name) {
    return make(arena, arena.internName(name));
}

MetadataNode& MetadataNodeFactory::make(MetadataArena& arena, std::string_view name, ValueType type,
                                        const void* data, std::size_t count) {
    return make(arena, arena.internName(name), type, data, count);
}

MetadataNode& MetadataNodeFactory::makeText(MetadataArena& arena, std::string_view name,
                                            std::string_view text) {
    return makeText(arena, arena.internName(name), text);
}

MetadataNode& MetadataNodeFactory::makeText(MetadataArena& arena, const MetadataName& name,
                                            std::string_view text) {
    MetadataNode& node = make(arena, name);
    node.m_value.assign(arena, text);
    return node;
}

void MetadataNodeFactory::appendRecords(MetadataNode& parent, std::span<const MetadataName* const> names,
                                        std::span<const MetadataRecordField> fields, const void* records) {
    if (names.empty()) {
        return;
    }
    if (fields.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw InvalidArgument("a record cannot have more than 4294967295 fields");
    }
    // The fields' element sizes: on the stack for the usual few fields.
    std::uint8_t fewWidths[16];
    std::vector<std::uint8_t> manyWidths;
    if (fields.size() > std::size(fewWidths)) {
        manyWidths.resize(fields.size());
    }
    std::uint8_t* widths = manyWidths.empty() ? fewWidths : manyWidths.data();
    for (std::size_t j = 0; j < fields.size(); ++j) {
        widths[j] = static_cast<std::uint8_t>(valueTypeSize(fields[j].type));
        if (widths[j] == 0) {
            throw InvalidArgument(
                fmt::format("a record field cannot have the element type {}", valueTypeName(fields[j].type)));
        }
    }
    // Each record is its node, its list of children and its field nodes, side by side.
    using ChildList = MetadataNode::ChildList;
    const std::size_t listBytes =
        fields.empty() ? 0 : sizeof(ChildList) + fields.size() * sizeof(MetadataNode*);
    const std::size_t recordBytes = sizeof(MetadataNode) + listBytes + fields.size() * sizeof(MetadataNode);
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(names.size(), recordBytes, &bytes)) {
        throw std::bad_alloc();
    }
    MetadataArena& arena = parent.arena();
    parent.reserveChildren(parent.childCount() + names.size());
    auto* at = static_cast<std::uint8_t*>(arena.allocate(bytes, alignof(MetadataNode)));
    const auto* element = static_cast<const std::uint8_t*>(records);
    MetadataNode::ChildList& siblings = *parent.children();
    MetadataNode** sibling = siblings.nodes() + siblings.count;
    for (const MetadataName* name : names) {
        auto* record = new (at) MetadataNode(arena, *name);
        at += sizeof(MetadataNode);
        if (!fields.empty()) {
            auto* list = new (at) ChildList{&arena, static_cast<std::uint32_t>(fields.size()),
                                            static_cast<std::uint32_t>(fields.size())};
            at += listBytes;
            record->m_link = reinterpret_cast<std::uintptr_t>(list);
            MetadataNode** slot = list->nodes();
            for (std::size_t j = 0; j < fields.size(); ++j) {
                // The element's bytes, zero-extended: what a scalar value holds in place.
                std::uint64_t bits = 0;
                switch (widths[j]) {
                case 1:
                    bits = *element;
                    break;
                case 2: {
                    std::uint16_t half;
                    std::memcpy(&half, element, 2);
                    bits = half;
                    break;
                }
                case 4: {
                    std::uint32_t word;
                    std::memcpy(&word, element, 4);
                    bits = word;
                    break;
                }
                default:
                    std::memcpy(&bits, element, 8);
                    break;
                }
                element += widths[j];
                auto* node = new (at) MetadataNode(arena, *fields[j].name);
                node->m_value.setScalar(fields[j].type, bits);
                at += sizeof(MetadataNode);
                *slot++ = node;
            }
        }
        *sibling++ = record;
    }
    siblings.count += static_cast<std::uint32_t>(names.size());
}

namespace {

// Room for a node named `name` and a value of `valueBytes` in an arena of its own.
std::size_t nodeBytes(std::string_view name, std::size_t valueBytes) {
    return sizeof(MetadataNode) + sizeof(MetadataName) + name.size() + valueBytes;
}

} // namespace

std::shared_ptr<MetadataNode> MetadataNodeFactory::create(std::string_view name,
                                                          const std::shared_ptr<VariantDataValue>& value) {
    std::shared_ptr<MetadataArena> arena = detail::arenaFor(nodeBytes(name, 0));
    MetadataNode& node = make(*arena, name);
    if (value) {
        if (!detail::ownedBy(value, arena)) {
            arena->keepAlive(value);
        }
        node.m_value.copyHandle(*value);
    }
    return std::shared_ptr<MetadataNode>(std::move(arena), &node);
}

std::shared_ptr<MetadataNode> MetadataNodeFactory::create(std::string_view name, ValueType type,
                                                          const void* data, std::size_t count) {
    const std::size_t runBytes = count < (std::size_t{1} << 20) ? count * valueTypeSize(type) : 0;
    std::shared_ptr<MetadataArena> arena = detail::arenaFor(nodeBytes(name, runBytes));
    MetadataNode& node = make(*arena, name, type, data, count);
    return std::shared_ptr<MetadataNode>(std::move(arena), &node);
}

std::shared_ptr<MetadataNode> MetadataNodeFactory::createText(std::string_view name, std::string_view text) {
    std::shared_ptr<MetadataArena> arena =
        detail::arenaFor(nodeBytes(name, sizeof(std::string) + text.size()));
    MetadataNode& node = makeText(*arena, name, text);
    return std::shared_ptr<MetadataNode>(std::move(arena), &node);
}

std::shared_ptr<MetadataNode> MetadataNodeHelper::getNode(const std::shared_ptr<MetadataNode>& node,
                                                          const std::string& path) {
    std::shared_ptr<MetadataNode> current = node;
    if (path.empty()) {
        return current;
    }
    const std::string_view steps(path);
    std::size_t start = 0;
    while (current) {
        const std::size_t end = steps.find('/', start);
        current = current->child(steps.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) {
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
