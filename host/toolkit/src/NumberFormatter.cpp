#include "trestan/toolkit/NumberFormatter.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace trestan::toolkit {

namespace {

// Lays out the digits of std::to_chars' shortest scientific form ("d.ddde±XX") as Python's repr does.
std::string layOut(const char* first, const char* last) {
    std::string text(first, last);
    const std::size_t exponentAt = text.find('e');
    std::string mantissa = text.substr(0, exponentAt);
    const int exponent = std::atoi(text.c_str() + exponentAt + 1);

    std::string sign;
    if (!mantissa.empty() && mantissa.front() == '-') {
        sign = "-";
        mantissa.erase(0, 1);
    }
    std::string digits;
    for (char c : mantissa) {
        if (c != '.') {
            digits.push_back(c);
        }
    }

    if (exponent < -4 || exponent >= 16) {
        std::string out = sign + digits.substr(0, 1);
        if (digits.size() > 1) {
            out += '.' + digits.substr(1);
        }
        const int magnitude = std::abs(exponent);
        out += exponent < 0 ? "e-" : "e+";
        if (magnitude < 10) {
            out += '0';
        }
        out += std::to_string(magnitude);
        return out;
    }
    if (exponent < 0) {
        return sign + "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    }
    const std::size_t integerDigits = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= integerDigits) {
        return sign + digits + std::string(integerDigits - digits.size(), '0') + ".0";
    }
    return sign + digits.substr(0, integerDigits) + '.' + digits.substr(integerDigits);
}

template <typename T> std::string format(T value) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    return layOut(buffer, result.ptr);
}

} // namespace

std::string NumberFormatter::shortest(double value) {
    return format(value);
}

std::string NumberFormatter::shortest(float value) {
    return format(value);
}

double NumberFormatter::widenShortest(float value) {
    if (!std::isfinite(value)) {
        return static_cast<double>(value);
    }
    char buffer[64];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
    double wide = 0.0;
    std::from_chars(buffer, written.ptr, wide);
    return wide;
}

} // namespace trestan::toolkit
