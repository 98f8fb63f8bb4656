#include "trestan/gatan/DmDateTime.h"

#include <array>
#include <cctype>
#include <cstdio>

namespace trestan::gatan {

namespace {

struct Number {
    int value = 0;
    std::size_t digits = 0;
};

// Reads up to `maxDigits` decimal digits at `pos`; none read leaves digits at 0.
Number readNumber(std::string_view text, std::size_t& pos, std::size_t maxDigits) {
    Number number;
    while (pos < text.size() && number.digits < maxDigits &&
           std::isdigit(static_cast<unsigned char>(text[pos]))) {
        number.value = number.value * 10 + (text[pos] - '0');
        ++number.digits;
        ++pos;
    }
    return number;
}

void skipSpaces(std::string_view text, std::size_t& pos) {
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) {
        ++pos;
    }
}

bool validDate(int year, int month, int day) {
    static constexpr std::array<int, 12> days{31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > days[static_cast<std::size_t>(month - 1)]) {
        return false;
    }
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month != 2 || day <= 28 || leap;
}

std::string format(const char* pattern, int a, int b, int c) {
    std::array<char, 16> buffer{};
    std::snprintf(buffer.data(), buffer.size(), pattern, a, b, c);
    return buffer.data();
}

} // namespace

std::optional<std::string> isoDate(std::string_view text) {
    std::size_t pos = 0;
    skipSpaces(text, pos);
    std::array<Number, 3> fields;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            if (pos >= text.size() || (text[pos] != '/' && text[pos] != '.' && text[pos] != '-')) {
                return std::nullopt;
            }
            ++pos;
        }
        fields[i] = readNumber(text, pos, 4);
        if (fields[i].digits == 0) {
            return std::nullopt;
        }
    }
    // The date must end here: a further digit means a field longer than any date field.
    if (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
        return std::nullopt;
    }
    int year = 0;
    int month = 0;
    int day = 0;
    if (fields[0].digits == 4 && fields[1].digits <= 2 && fields[2].digits <= 2) {
        year = fields[0].value;
        month = fields[1].value;
        day = fields[2].value;
    } else if (fields[2].digits == 4 && fields[0].digits <= 2 && fields[1].digits <= 2) {
        year = fields[2].value;
        month = fields[0].value;
        day = fields[1].value;
        if (month > 12) {
            std::swap(month, day);
        }
    } else {
        return std::nullopt;
    }
    if (!validDate(year, month, day)) {
        return std::nullopt;
    }
    return format("%04d-%02d-%02d", year, month, day);
}

std::optional<std::string> isoTime(std::string_view text) {
    std::size_t pos = 0;
    skipSpaces(text, pos);
    const Number hour = readNumber(text, pos, 2);
    if (hour.digits == 0 || pos >= text.size() || text[pos] != ':') {
        return std::nullopt;
    }
    ++pos;
    const Number minute = readNumber(text, pos, 2);
    if (minute.digits != 2) {
        return std::nullopt;
    }
    Number second;
    if (pos < text.size() && text[pos] == ':') {
        ++pos;
        second = readNumber(text, pos, 2);
        if (second.digits != 2) {
            return std::nullopt;
        }
        if (pos < text.size() && (text[pos] == '.' || text[pos] == ',')) {
            ++pos;
            while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
                ++pos;
            }
        }
    }
    skipSpaces(text, pos);
    int hours = hour.value;
    // A 12-hour clock: "12:05 AM" is five past midnight, "12:05 PM" five past noon.
    if (pos < text.size()) {
        const char first = static_cast<char>(std::toupper(static_cast<unsigned char>(text[pos])));
        const bool hasMeridiem = (first == 'A' || first == 'P') && pos + 1 < text.size() &&
                                 std::toupper(static_cast<unsigned char>(text[pos + 1])) == 'M';
        if (!hasMeridiem || hours < 1 || hours > 12) {
            return std::nullopt;
        }
        hours = (hours % 12) + (first == 'P' ? 12 : 0);
        pos += 2;
        skipSpaces(text, pos);
        if (pos != text.size()) {
            return std::nullopt;
        }
    }
    if (hours > 23 || minute.value > 59 || second.value > 59) {
        return std::nullopt;
    }
    return format("%02d:%02d:%02d", hours, minute.value, second.value);
}

} // namespace trestan::gatan
