#pragma once

#include <cctype>
#include <cstdint>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

/// Bytes written as hexadecimal text; any character that is not a hex digit (spaces, '|')
/// separates groups for readability and is skipped.
inline std::vector<std::uint8_t> hex(std::string_view text) {
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        }
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

/// Lower-case hexadecimal, one space between bytes: readable in a failed comparison.
inline std::string toHex(const std::vector<std::uint8_t>& bytes) {
    return fmt::format("{:02x}", fmt::join(bytes, " "));
}

} // namespace testsupport
