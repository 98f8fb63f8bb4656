#include "TreePrinter.h"

#include "trestan/toolkit/JsonDocumentWriter.h"
#include "trestan/toolkit/NumberFormatter.h"

#include <cstdint>
#include <type_traits>

namespace trestan::cli {

namespace {

std::string elementText(const velmora::VariantDataValue& value, std::size_t index) {
    return velmora::visitElement(value, index, [](auto number) {
        if constexpr (std::is_floating_point_v<decltype(number)>) {
            return toolkit::NumberFormatter::shortest(number);
        } else {
            return std::to_string(number);
        }
    });
}

// The first `limit` bytes of `text`, moved back to the start of a UTF-8 sequence so that the cut
// does not leave half a character.
std::string cutText(const std::string& text, std::size_t limit) {
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

// A name as it can be shown on one line: escapes for control characters, U+FFFD for bytes that
// are not UTF-8, no surrounding quotes.
std::string printableName(const std::string& name) {
    const std::string quoted = toolkit::JsonDocumentWriter::quote(name);
    return quoted.substr(1, quoted.size() - 2);
}

// True for the node of an array of groups: no value of its own, children named item000, item001, ...
bool isGroupArray(const velmora::MetadataNode& node) {
    if (node.value() || node.childCount() == 0) {
        return false;
    }
    for (const auto& child : node) {
        const std::string& name = child->name();
        if (name.size() < 7 || name.compare(0, 4, "item") != 0 ||
            name.find_first_not_of("0123456789", 4) != std::string::npos) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string TreePrinter::describeValue(const velmora::VariantDataValue& value) {
    const std::string type = velmora::valueTypeName(value.type());
    if (value.isString()) {
        const std::string& text = value.text();
        if (text.size() <= ShownTextBytes) {
            return type + " = " + toolkit::JsonDocumentWriter::quote(text);
        }
        return type + "[" + std::to_string(text.size()) +
               " bytes] = " + toolkit::JsonDocumentWriter::quote(cutText(text, ShownTextBytes)) + "...";
    }
    if (value.count() == 1) {
        return type + " = " + elementText(value, 0);
    }
    std::string out = type + "[" + std::to_string(value.count()) + "] = [";
    const std::size_t shown = value.count() < ShownElements ? value.count() : ShownElements;
    for (std::size_t i = 0; i < shown; ++i) {
        out += (i == 0 ? "" : ", ") + elementText(value, i);
    }
    if (shown < value.count()) {
        out += ", ...";
    }
    return out + "]";
}

void TreePrinter::print(std::ostream& out, const velmora::MetadataNode& node) const {
    printNode(out, node, 0);
}

void TreePrinter::printNode(std::ostream& out, const velmora::MetadataNode& node, std::size_t depth) const {
    out << std::string(depth * 2, ' ') << printableName(node.name());
    if (node.value()) {
        out << ": " << describeValue(*node.value());
    }
    const bool deeper = !m_maxDepth || depth < *m_maxDepth;
    if (!deeper && node.childCount() > 0) {
        out << "  (" << node.childCount() << (node.childCount() == 1 ? " child" : " children")
            << " not shown)";
    }
    out << '\n';
    if (!deeper) {
        return;
    }
    const std::size_t shown =
        isGroupArray(node) && node.childCount() > ShownGroups + 1 ? ShownGroups : node.childCount();
    for (std::size_t i = 0; i < shown; ++i) {
        printNode(out, *node.childAt(i), depth + 1);
    }
    if (shown < node.childCount()) {
        out << std::string((depth + 1) * 2, ' ') << "... (" << node.childCount() - shown << " more of "
            << node.childCount() << " groups)\n";
    }
}

} // namespace trestan::cli
