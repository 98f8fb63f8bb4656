#pragma once

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

namespace trestan::toolkit {

/// Writes JSON documents built with nlohmann::ordered_json. Structure, key order and string escaping
/// are nlohmann's; bytes that are not valid UTF-8 become U+FFFD or, where the text must give the bytes
/// back (file names), Python's surrogate escapes \udc80 to \udcff, which os.fsencode() turns into
/// the bytes again. Floating-point numbers are written in their shortest round-trip form
/// (NumberFormatter) and non-finite ones as null, which nlohmann's own dump does not guarantee.
class JsonDocumentWriter {
public:
    enum class Layout {
        Compact,  ///< no white space at all
        Indented, ///< two spaces per level, one member per line; arrays of numbers and strings on one line
    };

    /// What becomes of bytes that are not valid UTF-8.
    enum class InvalidBytes {
        Replace,          ///< U+FFFD
        SurrogateEscapes, ///< \udcXY for byte XY
    };

    explicit JsonDocumentWriter(Layout layout, InvalidBytes invalidBytes = InvalidBytes::Replace)
        : m_layout(layout), m_invalidBytes(invalidBytes) {}

    /// Writes `document` followed by a newline.
    void write(std::ostream& out, const nlohmann::ordered_json& document) const;

    /// `text` as a JSON string literal, quotes included, invalid bytes replaced.
    static std::string quote(const std::string& text);
    /// The same with invalid bytes as surrogate escapes.
    static std::string quoteKeepingBytes(const std::string& text);

private:
    void writeValue(std::ostream& out, const nlohmann::ordered_json& value, int level) const;
    void newLine(std::ostream& out, int level) const;

    std::string quoted(const std::string& text) const;

    Layout m_layout;
    InvalidBytes m_invalidBytes;
};

} // namespace trestan::toolkit
