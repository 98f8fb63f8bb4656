#include "trestan/toolkit/JsonDocumentWriter.h"

#include "trestan/toolkit/NumberFormatter.h"
#include "velmora/Utf8.h"

#include <algorithm>
#include <cmath>

namespace trestan::toolkit {

void JsonDocumentWriter::write(std::ostream& out, const nlohmann::ordered_json& document) const {
    writeValue(out, document, 0);
    out << '\n';
}

std::string JsonDocumentWriter::quote(const std::string& text) {
    return nlohmann::ordered_json(text).dump(-1, ' ', false,
                                             nlohmann::ordered_json::error_handler_t::replace);
}

std::string JsonDocumentWriter::quoteKeepingBytes(const std::string& text) {
    // Escaped as nlohmann escapes strings; a byte of no valid UTF-8 sequence as \udcXY.
    static constexpr char Hex[] = "0123456789abcdef";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char byte = bytes[i];
        const std::size_t length = velmora::utf8SequenceLength(std::string_view(text).substr(i));
        if (length == 0) {
            out += "\\udc";
            out += Hex[byte >> 4];
            out += Hex[byte & 0x0F];
            ++i;
            continue;
        }
        switch (byte) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (byte < 0x20) {
                out += "\\u00";
                out += Hex[byte >> 4];
                out += Hex[byte & 0x0F];
            } else {
                out.append(text, i, length);
            }
        }
        i += length;
    }
    out += '"';
    return out;
}

std::string JsonDocumentWriter::quoted(const std::string& text) const {
    return m_invalidBytes == InvalidBytes::Replace ? quote(text) : quoteKeepingBytes(text);
}

void JsonDocumentWriter::newLine(std::ostream& out, int level) const {
    if (m_layout == Layout::Indented) {
        out << '\n' << std::string(static_cast<std::size_t>(level) * 2, ' ');
    }
}

void JsonDocumentWriter::writeValue(std::ostream& out, const nlohmann::ordered_json& value, int level) const {
    switch (value.type()) {
    case nlohmann::ordered_json::value_t::object: {
        if (value.empty()) {
            out << "{}";
            return;
        }
        out << '{';
        bool first = true;
        for (const auto& [key, member] : value.items()) {
            if (!first) {
                out << ',';
            }
            first = false;
            newLine(out, level + 1);
            out << quoted(key) << (m_layout == Layout::Indented ? ": " : ":");
            writeValue(out, member, level + 1);
        }
        newLine(out, level);
        out << '}';
        return;
    }
    case nlohmann::ordered_json::value_t::array: {
        if (value.empty()) {
            out << "[]";
            return;
        }
        // A short run of scalars ("shape": [512, 256]) reads best on one line.
        const bool scalars =
            std::none_of(value.begin(), value.end(),
                         [](const nlohmann::ordered_json& element) { return element.is_structured(); });
        const bool oneLine = m_layout == Layout::Compact || scalars;
        const char* separator = m_layout == Layout::Indented && oneLine ? ", " : ",";
        out << '[';
        bool first = true;
        for (const auto& element : value) {
            if (!first) {
                out << separator;
            }
            first = false;
            if (!oneLine) {
                newLine(out, level + 1);
            }
            writeValue(out, element, level + 1);
        }
        if (!oneLine) {
            newLine(out, level);
        }
        out << ']';
        return;
    }
    case nlohmann::ordered_json::value_t::number_float: {
        const double number = value.get<double>();
        out << (std::isfinite(number) ? NumberFormatter::shortest(number) : std::string("null"));
        return;
    }
    case nlohmann::ordered_json::value_t::string:
        out << quoted(value.get_ref<const std::string&>());
        return;
    default:
        // null, booleans and integers: nlohmann's own text is already exact.
        out << value.dump();
        return;
    }
}

} // namespace trestan::toolkit
