#include "Node.h"

#include "trestan/toolkit/JsonDocumentWriter.h"
#include "trestan/toolkit/JsonTreeWriter.h"
#include "velmora/MetadataNode.h"

#include <cstdint>
#include <cstring>
#include <sstream>
#include <type_traits>
#include <vector>

namespace trestan::python {

namespace {

using velmora::ValueType;

py::dtype elementType(ValueType type) {
    switch (type) {
    case ValueType::Int8:
        return py::dtype::of<std::int8_t>();
    case ValueType::UInt8:
        return py::dtype::of<std::uint8_t>();
    case ValueType::Int16:
        return py::dtype::of<std::int16_t>();
    case ValueType::UInt16:
        return py::dtype::of<std::uint16_t>();
    case ValueType::Int32:
        return py::dtype::of<std::int32_t>();
    case ValueType::UInt32:
        return py::dtype::of<std::uint32_t>();
    case ValueType::Int64:
        return py::dtype::of<std::int64_t>();
    case ValueType::UInt64:
        return py::dtype::of<std::uint64_t>();
    case ValueType::Float32:
        return py::dtype::of<float>();
    case ValueType::Float64:
        return py::dtype::of<double>();
    case ValueType::String:
        break;
    }
    throw py::type_error("metadata value of type " + std::string(velmora::valueTypeName(type)) +
                         " has no NumPy type");
}

py::object scalar(const velmora::VariantDataValue& value) {
    return velmora::visitElement(value, 0, [](auto number) -> py::object {
        if constexpr (std::is_floating_point_v<decltype(number)>) {
            return py::float_(number);
        } else {
            return py::int_(number);
        }
    });
}

} // namespace

py::str decodeText(const std::string& text) {
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (decoded == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(decoded);
}

namespace {

py::object valueOf(const velmora::MetadataNode& node) {
    const std::shared_ptr<velmora::VariantDataValue>& value = node.value();
    if (!value) {
        return py::none();
    }
    if (value->isString()) {
        // DM text comes as UTF-8 from the reader; bytes that are not are shown as U+FFFD, as in
        // the JSON form of the tree.
        return decodeText(value->text());
    }
    if (value->count() == 1) {
        return scalar(*value);
    }
    py::array array(elementType(value->type()),
                    std::vector<py::ssize_t>{static_cast<py::ssize_t>(value->count())});
    if (value->count() > 0) {
        std::memcpy(array.mutable_data(), value->data(), static_cast<std::size_t>(array.nbytes()));
    }
    setReadOnly(array);
    return array;
}

py::object dictOf(const velmora::MetadataNode& node) {
    py::dict dict;
    for (const auto& child : node) {
        const py::str key = decodeText(child->name()); // tag names too may hold other bytes
        // Sibling names repeat only in unusual files; the first one wins, as with node[name].
        if (dict.contains(key)) {
            continue;
        }
        if (child->childCount() > 0 || !child->value()) {
            dict[key] = dictOf(*child);
        } else {
            dict[key] = valueOf(*child);
        }
    }
    return dict;
}

} // namespace

py::object Node::value() const {
    return valueOf(*m_node);
}

py::list Node::children() const {
    py::list children;
    for (const auto& child : *m_node) {
        children.append(Node(child));
    }
    return children;
}

std::shared_ptr<velmora::MetadataNode> Node::find(const std::string& path) const {
    if (std::shared_ptr<velmora::MetadataNode> child = m_node->child(path)) {
        return child;
    }
    if (path.empty()) {
        return nullptr;
    }
    return velmora::MetadataNodeHelper::getNode(m_node, path);
}

Node Node::at(const std::string& path) const {
    std::shared_ptr<velmora::MetadataNode> node = find(path);
    if (!node) {
        throw py::key_error(path);
    }
    return Node(std::move(node));
}

py::object Node::toDict() const {
    return dictOf(*m_node);
}

std::string Node::toJson() const {
    std::ostringstream out;
    toolkit::JsonDocumentWriter(toolkit::JsonDocumentWriter::Layout::Compact)
        .write(out, toolkit::JsonTreeWriter().toJson(*m_node));
    std::string text = std::move(out).str();
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

std::string Node::repr() const {
    std::string text = "<trestan.Node " + toolkit::JsonDocumentWriter::quote(m_node->name());
    if (const auto& value = m_node->value()) {
        text += ": " + std::string(velmora::valueTypeName(value->type()));
        if (!value->isString()) {
            text += "[" + std::to_string(value->count()) + "]";
        }
    }
    return text + ", " + std::to_string(m_node->childCount()) + " children>";
}

void bindNode(py::module_& module) {
    py::class_<Node> node(module, "Node", R"(A node of a file's metadata tree.

The tree of a DM file starts at a node named "root" whose child "GATAN" holds the file's tags.
Directories become nodes with children; tags become nodes with a value. Entries without a name
in the file are named item000, item001, ...

    node["ImageList"]                      the first child of that name
    node["GATAN/ImageList/item001"]        a path of child names
    for child in node: ...                 the children, in file order
)");
    setPublicModule(node);
    refuseConstruction(node);
    node.def_property_readonly("name", &Node::name,
                               "The node's name (str; bytes that are not UTF-8 shown as U+FFFD).")
        .def_property_readonly(
            "name_bytes", [](const Node& self) { return py::bytes(self.rawName()); },
            "The node's name as stored (bytes): DM3 files write names in the writer's 8-bit code page.")
        .def_property_readonly("value", &Node::value,
                               "The stored value: None for a directory, int or float for one number, "
                               "str for text, or a read-only NumPy array of the stored type (int8 to "
                               "uint64, float32, float64) for any other count of numbers.")
        .def_property_readonly("children", &Node::children, "The child nodes, in file order (list of Node).")
        .def("__getitem__", &Node::at, py::arg("path"),
             "The first child named `path` or the node at the '/'-separated path; KeyError when there is "
             "none.")
        .def("__contains__",
             [](const Node& self, const std::string& path) { return self.find(path) != nullptr; })
        .def("__len__", &Node::size, "Number of children.")
        .def("__iter__", [](const Node& self) { return py::iter(self.children()); })
        .def("to_dict", &Node::toDict,
             R"(The subtree as nested dicts: each child's name maps to its value or, for a directory,
to a dict of its own children. Where names repeat among siblings the first one is kept.)")
        .def("to_json", &Node::toJson,
             R"(The subtree as one JSON document, the text that `trestan tree --json` prints (without
its final newline): {"name", "value"?, "children"?} per node, a value as {"type", "data"}.)")
        .def("__repr__", &Node::repr);
}

} // namespace trestan::python
