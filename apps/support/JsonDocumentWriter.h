#pragma once

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

namespace trestan::app {

/// Writes JSON documents built with nlohmann::ordered_json. Structure, key order and string escaping
/// are nlohmann's (bytes that are not valid UTF-8 become U+FFFD); floating-point numbers are written
/// in their shortest round-trip form (NumberFormatter) and non-finite ones as null, which nlohmann's
/// own dump does not guarantee.
class JsonDocumentWriter {
public:
    enum class Layout {
        Compact,  ///< no white space at all
        Indented, ///< two spaces per level, one member per line; arrays of numbers and strings on one line
    };

    explicit JsonDocumentWriter(Layout layout) : m_layout(layout) {}

    /// Writes `document` followed by a newline.
    void write(std::ostream& out, const nlohmann::ordered_json& document) const;

    /// `text` as a JSON string literal, quotes included.
    static std::string quote(const std::string& text);

private:
    void writeValue(std::ostream& out, const nlohmann::ordered_json& value, int level) const;
    void newLine(std::ostream& out, int level) const;

    Layout m_layout;
};

} // namespace trestan::app
