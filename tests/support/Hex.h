#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

/// Bytes written as hexadecimal text; any character that is not a hex digit (spaces, '|')
/// separates groups for readability and is skipped.
inline std::vector<std::uint8_t> hex(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (char c : text) {
        int nibble = -1;
        if (c >= '0' && c <= '9') {
            nibble = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            nibble = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            nibble = c - 'A' + 10;
        } else {
            continue;
        }
        if (high < 0) {
            high = nibble;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + nibble));
            high = -1;
        }
    }
    return bytes;
}

/// Lower-case hexadecimal, one space between bytes: readable in a failed comparison.
inline std::string toHex(const std::vector<std::uint8_t>& bytes) {
    static constexpr char s_digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (std::uint8_t byte : bytes) {
        if (!text.empty()) {
            text.push_back(' ');
        }
        text.push_back(s_digits[byte >> 4]);
        text.push_back(s_digits[byte & 0xF]);
    }
    return text;
}

/// Bytes of a text, for comparing string values byte for byte.
inline std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

} // namespace testsupport
