#pragma once

#include "velmora/Export.h"
#include "velmora/MetadataArena.h"
#include "velmora/VariantDataValue.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace velmora {

/// A node of a metadata tree: a name, an optional value and children in insertion order. Names need
/// not be unique among siblings.
///
/// Nodes are made by MetadataNodeFactory in a MetadataArena, which owns them: the shared pointers to
/// nodes (and to their values) share the arena's count, so any node or value of a tree keeps the
/// whole tree's memory alive. A node is small (32 bytes): its name is a MetadataName of the arena (or
/// one of the process, MetadataArena::makePermanentName), and its value (with its text or elements)
/// and its list of children are in the arena too.
class VELMORA_API MetadataNode {
public:
    /// Walks the children in order; dereferencing gives a shared pointer to the child.
    class const_iterator {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using value_type = std::shared_ptr<MetadataNode>;
        using difference_type = std::ptrdiff_t;
        using reference = std::shared_ptr<MetadataNode>;
        using pointer = void;

        const_iterator() = default;
        explicit const_iterator(MetadataNode* const* at) : m_at(at) {}

        std::shared_ptr<MetadataNode> operator*() const { return (*m_at)->shared(); }
        std::shared_ptr<MetadataNode> operator[](difference_type offset) const { return *(*this + offset); }
        const_iterator& operator++() {
            ++m_at;
            return *this;
        }
        const_iterator operator++(int) { return const_iterator(m_at++); }
        const_iterator& operator--() {
            --m_at;
            return *this;
        }
        const_iterator operator--(int) { return const_iterator(m_at--); }
        const_iterator& operator+=(difference_type offset) {
            m_at += offset;
            return *this;
        }
        const_iterator& operator-=(difference_type offset) {
            m_at -= offset;
            return *this;
        }
        friend const_iterator operator+(const_iterator it, difference_type offset) { return it += offset; }
        friend const_iterator operator+(difference_type offset, const_iterator it) { return it += offset; }
        friend const_iterator operator-(const_iterator it, difference_type offset) { return it -= offset; }
        friend difference_type operator-(const_iterator a, const_iterator b) { return a.m_at - b.m_at; }
        friend auto operator<=>(const const_iterator&, const const_iterator&) = default;

    private:
        MetadataNode* const* m_at = nullptr;
    };

    MetadataNode(const MetadataNode&) = delete;
    MetadataNode& operator=(const MetadataNode&) = delete;

    const std::string& name() const {
        const std::string* made = m_name->m_string.load(std::memory_order_acquire);
        return made != nullptr ? *made : arenaPointer()->nameString(*m_name);
    }
    /// The value, or an empty pointer for a node without value.
    std::shared_ptr<VariantDataValue> value() const;

    /// Appends a child (null children are refused with velmora::InvalidArgument). Children are added
    /// on the thread that builds the tree.
    void addChild(const std::shared_ptr<MetadataNode>& child);
    /// Appends `child`, a node made by MetadataNodeFactory::make (in this node's arena, or in
    /// another arena owned by a shared pointer, which this node's arena then keeps alive).
    void addChild(MetadataNode& child) {
        ChildList* list = children();
        if (list != nullptr && list->count < list->capacity && child.arenaPointer() == list->arena) {
            list->nodes()[list->count++] = &child;
            return;
        }
        addChildSlowly(child);
    }
    /// Makes room for `count` children in all, so that adding them takes no further memory.
    void reserveChildren(std::size_t count) {
        if ((m_link & ArenaTag) != 0 && count - 1 < SmallListLimit) {
            // The usual case, a node that gets its list before its first child, without a call.
            MetadataArena* arena = arenaPointer();
            auto* list = static_cast<ChildList*>(
                arena->allocate(sizeof(ChildList) + count * sizeof(MetadataNode*), alignof(ChildList)));
            list->arena = arena;
            list->count = 0;
            list->capacity = static_cast<std::uint32_t>(count);
            m_link = reinterpret_cast<std::uintptr_t>(list);
            return;
        }
        reserveChildrenSlowly(count);
    }
    /// The first child named `name`, or an empty pointer.
    std::shared_ptr<MetadataNode> child(std::string_view name) const;
    std::size_t childCount() const {
        const ChildList* list = children();
        return list == nullptr ? 0 : list->count;
    }
    /// Child `index`; std::out_of_range past the last one.
    std::shared_ptr<MetadataNode> childAt(std::size_t index) const;

    const_iterator begin() const {
        const ChildList* list = children();
        return const_iterator(list == nullptr ? nullptr : list->nodes());
    }
    const_iterator end() const {
        const ChildList* list = children();
        return const_iterator(list == nullptr ? nullptr : list->nodes() + list->count);
    }

    /// A shared pointer to this node (sharing its arena's count).
    std::shared_ptr<MetadataNode> shared() const;
    /// The arena that owns this node.
    MetadataArena& arena() const { return *arenaPointer(); }

private:
    friend class MetadataNodeFactory;

    /// A list of children in the arena: the arena and the list's size, followed by `capacity` places
    /// for nodes.
    struct alignas(MetadataNode*) ChildList {
        MetadataArena* arena;
        std::uint32_t count;
        std::uint32_t capacity;
        MetadataNode** nodes() { return reinterpret_cast<MetadataNode**>(this + 1); }
        MetadataNode* const* nodes() const { return reinterpret_cast<MetadataNode* const*>(this + 1); }
    };

    MetadataNode(MetadataArena& arena, const MetadataName& name)
        : m_link(reinterpret_cast<std::uintptr_t>(&arena) | ArenaTag), m_name(&name) {}

    /// The list of children, or null for a node without one.
    ChildList* children() const {
        return (m_link & ArenaTag) != 0 ? nullptr : reinterpret_cast<ChildList*>(m_link);
    }
    MetadataArena* arenaPointer() const {
        return (m_link & ArenaTag) != 0 ? reinterpret_cast<MetadataArena*>(m_link & ~ArenaTag)
                                        : reinterpret_cast<const ChildList*>(m_link)->arena;
    }

    /// addChild when the list is full or the child is of another arena.
    void addChildSlowly(MetadataNode& child);
    /// reserveChildren for a node that has a list already, or for a long list.
    void reserveChildrenSlowly(std::size_t count);
    static constexpr std::size_t SmallListLimit = std::size_t{1} << 16;

    static constexpr std::uintptr_t ArenaTag = 1;

    // The node's list of children, which names the arena, or for a node without children the arena
    // itself, marked by ArenaTag in the lowest bit: a node is 32 bytes, four to a cache line pair.
    std::uintptr_t m_link;
    const MetadataName* m_name;
    VariantDataValue m_value; // empty for a node without value
};

/// A field of the records that MetadataNodeFactory::appendRecords makes: the name of its node and the
/// numeric type of its one element.
struct MetadataRecordField {
    const MetadataName* name;
    ValueType type;
};

/// Makes metadata nodes, in the calling thread's current MetadataArena (outside every scope, in one
/// of their own).
class VELMORA_API MetadataNodeFactory {
public:
    /// A node named `name` with `value` (none when empty). The node holds the value's elements or
    /// text, so value() gives an equal value, not the same object.
    static std::shared_ptr<MetadataNode> create(std::string_view name,
                                                const std::shared_ptr<VariantDataValue>& value = nullptr);
    /// A node with a value of `count` elements of `type` copied from `data`, as
    /// VariantDataValueFactory::create(type, data, count) makes it, without a value object of its own.
    static std::shared_ptr<MetadataNode> create(std::string_view name, ValueType type, const void* data,
                                                std::size_t count);
    /// A node with a text value, as VariantDataValueFactory::create(text) makes it.
    static std::shared_ptr<MetadataNode> createText(std::string_view name, std::string_view text);

    /// The same nodes made in `arena` and owned by it, handed out as plain references: what a reader
    /// uses to build a large tree in the arena of its root, without a shared pointer per node. The
    /// node lives as long as the arena; hand it out with MetadataNode::shared().
    static MetadataNode& make(MetadataArena& arena, std::string_view name);
    static MetadataNode& make(MetadataArena& arena, std::string_view name, ValueType type, const void* data,
                              std::size_t count);
    static MetadataNode& makeText(MetadataArena& arena, std::string_view name, std::string_view text);
    /// The same with a name of `arena` (MetadataArena::internName or makeName) or a permanent one.
    static MetadataNode& make(MetadataArena& arena, const MetadataName& name) {
        return *new (arena.allocate(sizeof(MetadataNode), alignof(MetadataNode))) MetadataNode(arena, name);
    }
    static MetadataNode& make(MetadataArena& arena, const MetadataName& name, ValueType type,
                              const void* data, std::size_t count) {
        MetadataNode& node = make(arena, name);
        node.m_value.assign(arena, type, data, count);
        return node;
    }
    static MetadataNode& makeText(MetadataArena& arena, const MetadataName& name, std::string_view text);

    /// Appends to `parent` one node per name of `names`, made in the parent's arena all in one piece:
    /// a record, with one child per field of `fields` named as the field and holding one element of
    /// its type. The elements are taken from `records`: as many records as names, back to back,
    /// each the fields' elements in order, in host order. What a reader uses for arrays of records,
    /// such as a colour table of 256 of them. Throws velmora::InvalidArgument for a text field.
    static void appendRecords(MetadataNode& parent, std::span<const MetadataName* const> names,
                              std::span<const MetadataRecordField> fields, const void* records);
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
