#pragma once

#include <CLI/CLI.hpp>
#include <charconv>
#include <string>

namespace trestan::cli {

/// A check for a whole-number option that says what it takes ("must be at least 1") instead of
/// CLI11's range of all doubles. Numbers too large for the option are left to CLI11's conversion.
inline CLI::Validator atLeast(long long minimum) {
    return CLI::Validator(
        [minimum](std::string& text) -> std::string {
            long long value = 0;
            const char* end = text.data() + text.size();
            const auto [stop, error] = std::from_chars(text.data(), end, value);
            const bool tooLarge = error == std::errc::result_out_of_range && text[0] != '-';
            if (tooLarge || (error == std::errc() && stop == end && value >= minimum)) {
                return {};
            }
            return "must be a whole number of at least " + std::to_string(minimum) + ", not " + text;
        },
        ">=" + std::to_string(minimum));
}

} // namespace trestan::cli
