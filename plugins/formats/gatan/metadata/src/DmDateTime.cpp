#include "trestan/gatan/DmDateTime.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <optional>
#include <vector>

namespace trestan::gatan {

namespace {

struct Number {
    long value = 0;
    std::size_t digits = 0;
};

bool isDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Reads the decimal digits at `pos`, all of them; the value stops growing past nine digits, which
// is more than any field of a date or time holds.
Number readNumber(std::string_view text, std::size_t& pos) {
    Number number;
    while (pos < text.size() && isDigit(text[pos])) {
        if (number.digits < 9) {
            number.value = number.value * 10 + (text[pos] - '0');
        }
        ++number.digits;
        ++pos;
    }
    return number;
}

// The length of the blank at `pos`: ASCII white space, and the no-break spaces, thin spaces, line
// separators and direction marks that Windows puts into the dates and times of some locales.
std::size_t blankLength(std::string_view text, std::size_t pos) {
    if (pos >= text.size()) {
        return 0;
    }
    if (std::isspace(static_cast<unsigned char>(text[pos])) != 0) {
        return 1;
    }
    static constexpr std::array<std::string_view, 7> blanks{
        "\xC2\xA0",     // U+00A0 no-break space
        "\xE2\x80\xAF", // U+202F narrow no-break space
        "\xE2\x80\x89", // U+2009 thin space
        "\xE2\x80\x8E", // U+200E left-to-right mark
        "\xE2\x80\x8F", // U+200F right-to-left mark
        "\xE2\x80\xA8", // U+2028 line separator
        "\xE2\x80\x8B", // U+200B zero-width space
    };
    for (std::string_view blank : blanks) {
        if (text.substr(pos).starts_with(blank)) {
            return blank.size();
        }
    }
    return 0;
}

std::string_view trimmed(std::string_view text) {
    std::size_t begin = 0;
    while (std::size_t length = blankLength(text, begin)) {
        begin += length;
    }
    std::size_t end = text.size();
    // Blanks are one to three bytes; trim from the end by trying each length.
    for (bool more = true; more && end > begin;) {
        more = false;
        for (std::size_t length = 1; length <= 3 && length <= end - begin; ++length) {
            if (blankLength(text, end - length) == length) {
                end -= length;
                more = true;
                break;
            }
        }
    }
    return text.substr(begin, end - begin);
}

bool validDate(long year, long month, long day) {
    static constexpr std::array<long, 12> days{31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > days[static_cast<std::size_t>(month - 1)]) {
        return false;
    }
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month != 2 || day <= 28 || leap;
}

// A year field: four digits as written, one or two digits as 1970 to 2069.
std::optional<long> yearOf(const Number& field) {
    if (field.digits == 4) {
        return field.value;
    }
    if (field.digits >= 1 && field.digits <= 2) {
        return field.value + (field.value < 70 ? 2000 : 1900);
    }
    return std::nullopt;
}

// English month names, whole or cut to three letters ("sept" too); 0 for other words.
int monthOf(std::string_view word) {
    static constexpr std::array<std::string_view, 12> months{"january",   "february", "march",    "april",
                                                             "may",       "june",     "july",     "august",
                                                             "september", "october",  "november", "december"};
    for (std::size_t i = 0; i < months.size(); ++i) {
        if (word == months[i] || (word.size() == 3 && months[i].starts_with(word)) ||
            (i == 8 && word == "sept")) {
            return static_cast<int>(i) + 1;
        }
    }
    return 0;
}

bool isWeekday(std::string_view word) {
    static constexpr std::array<std::string_view, 7> days{"monday", "tuesday",  "wednesday", "thursday",
                                                          "friday", "saturday", "sunday"};
    for (std::string_view day : days) {
        if (word == day || (word.size() >= 3 && day.starts_with(word))) {
            return true;
        }
    }
    return false;
}

// The year, month and day marks of Chinese, Japanese (年 月 日) and Korean (년 월 일) dates, read as
// separators.
std::size_t dateMarkLength(std::string_view text, std::size_t pos) {
    static constexpr std::array<std::string_view, 6> marks{"\xE5\xB9\xB4", "\xE6\x9C\x88", "\xE6\x97\xA5",
                                                           "\xEB\x85\x84", "\xEC\x9B\x94", "\xEC\x9D\xBC"};
    for (std::string_view mark : marks) {
        if (text.substr(pos).starts_with(mark)) {
            return mark.size();
        }
    }
    return 0;
}

std::string format(const char* pattern, long a, long b, long c) {
    std::array<char, 32> buffer{};
    std::snprintf(buffer.data(), buffer.size(), pattern, a, b, c);
    return buffer.data();
}

// The 12-hour clock markers of the locales DM runs in, as they read once ASCII letters are lower
// case and dots and blanks are taken out: true for the afternoon.
std::optional<bool> afternoon(std::string_view marker) {
    std::string key;
    for (std::size_t pos = 0; pos < marker.size();) {
        if (std::size_t blank = blankLength(marker, pos)) {
            pos += blank;
        } else {
            if (marker[pos] != '.') {
                key += lower(marker[pos]);
            }
            ++pos;
        }
    }
    struct Marker {
        std::string_view text;
        bool pm;
    };
    static constexpr std::array<Marker, 34> markers{{
        {"am", false},
        {"pm", true},
        {"a", false},
        {"p", true},
        {"vorm", false}, // German
        {"nachm", true},
        {"vm", false}, // Afrikaans, Dutch
        {"nm", true},
        {"ap", false}, // Finnish
        {"ip", true},
        {"fh", false}, // Icelandic
        {"eh", true},
        {"de", false}, // Hungarian
        {"du", true},
        {"dop", false}, // Czech
        {"odp", true},
        {"sa", false}, // Vietnamese
        {"ch", true},
        {"\xE5\x8D\x88\xE5\x89\x8D", false}, // 午前 Japanese
        {"\xE5\x8D\x88\xE5\xBE\x8C", true},  // 午後
        {"\xE4\xB8\x8A\xE5\x8D\x88", false}, // 上午 Chinese
        {"\xE4\xB8\x8B\xE5\x8D\x88", true},  // 下午
        {"\xEC\x98\xA4\xEC\xA0\x84", false}, // 오전 Korean
        {"\xEC\x98\xA4\xED\x9B\x84", true},  // 오후
        {"\xCF\x80\xCE\xBC", false},         // πμ Greek
        {"\xCE\xBC\xCE\xBC", true},          // μμ
        {"\xCE\xA0\xCE\x9C", false},         // ΠΜ
        {"\xCE\x9C\xCE\x9C", true},          // ΜΜ
        {"\xD8\xB5", false},                 // ص Arabic
        {"\xD9\x85", true},                  // م
        {"\xD9\x82\xD8\xB8", false},         // ق.ظ Persian
        {"\xD8\xA8\xD8\xB8", true},          // ب.ظ
        {"\xE0\xA4\xAA\xE0\xA5\x82\xE0\xA4\xB0\xE0\xA5\x8D\xE0\xA4\xB5\xE0\xA4\xBE\xE0\xA4\xB9\xE0\xA5\x8D"
         "\xE0\xA4\xA8",
         false}, // पूर्वाह्न Hindi
        {"\xE0\xA4\x85\xE0\xA4\xAA\xE0\xA4\xB0\xE0\xA4\xBE\xE0\xA4\xB9\xE0\xA5\x8D\xE0\xA4\xA8",
         true}, // अपराह्न
    }};
    for (const Marker& known : markers) {
        if (key == known.text) {
            return known.pm;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> isoDate(std::string_view text) {
    std::vector<Number> fields;
    int month = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char c = text[pos];
        if (isDigit(c)) {
            const Number number = readNumber(text, pos);
            if (pos < text.size() && text[pos] == ':') {
                break; // a time of day follows the date
            }
            fields.push_back(number);
        } else if (isAsciiLetter(c)) {
            std::string word;
            while (pos < text.size() && isAsciiLetter(text[pos])) {
                word += lower(text[pos++]);
            }
            if (const int named = monthOf(word)) {
                if (month != 0) {
                    return std::nullopt;
                }
                month = named;
            } else if (!isWeekday(word) && word != "t") { // "t" parts an ISO date from its time
                return std::nullopt;
            }
        } else if (c == '/' || c == '.' || c == '-' || c == ',') {
            ++pos;
        } else if (std::size_t length = blankLength(text, pos)) {
            pos += length;
        } else if (std::size_t mark = dateMarkLength(text, pos)) {
            pos += mark;
        } else {
            return std::nullopt;
        }
    }

    long year = 0;
    long day = 0;
    if (month != 0) {
        // "8 August 2016", "Aug 8, 2016", "2016 Aug 8": a day and a year beside the month's name.
        if (fields.size() != 2) {
            return std::nullopt;
        }
        const bool yearFirst = fields[0].digits == 4;
        const Number& dayField = fields[yearFirst ? 1 : 0];
        const std::optional<long> yearValue = yearOf(fields[yearFirst ? 0 : 1]);
        if (!yearValue || dayField.digits > 2) {
            return std::nullopt;
        }
        year = *yearValue;
        day = dayField.value;
    } else if (fields.size() == 1 && fields[0].digits == 8) {
        year = fields[0].value / 10000; // 20160808
        month = static_cast<int>(fields[0].value / 100 % 100);
        day = fields[0].value % 100;
    } else if (fields.size() == 3 && fields[1].digits <= 2) {
        const Number& first = fields[0];
        if (first.digits == 4 || (first.digits <= 2 && first.value > 31)) {
            // Year first: 2016-08-27, 2016/8/8, 99/12/31.
            if (fields[2].digits > 2) {
                return std::nullopt;
            }
            year = *yearOf(first);
            month = static_cast<int>(fields[1].value);
            day = fields[2].value;
        } else {
            // Year last. Month first when the first field can be a month (8/31/2016, 12/10/2019),
            // day first when it cannot (31/08/2016).
            const std::optional<long> yearValue = yearOf(fields[2]);
            if (!yearValue || first.digits > 2) {
                return std::nullopt;
            }
            year = *yearValue;
            const bool dayFirst = first.value > 12;
            month = static_cast<int>(dayFirst ? fields[1].value : first.value);
            day = dayFirst ? first.value : fields[1].value;
        }
    } else {
        return std::nullopt;
    }
    if (!validDate(year, month, day)) {
        return std::nullopt;
    }
    return format("%04ld-%02ld-%02ld", year, month, day);
}

std::optional<std::string> isoTime(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size() && !isDigit(text[pos])) {
        ++pos;
    }
    const std::string_view before = trimmed(text.substr(0, pos));
    const Number hour = readNumber(text, pos);
    // Hours and minutes, and seconds when given, with ':' between them, or '.' in Finnish and Danish.
    if (hour.digits == 0 || hour.digits > 2 || pos >= text.size() || (text[pos] != ':' && text[pos] != '.')) {
        return std::nullopt;
    }
    const char separator = text[pos++];
    const Number minute = readNumber(text, pos);
    if (minute.digits != 2) {
        return std::nullopt;
    }
    Number second;
    long microsecond = 0;
    if (pos + 1 < text.size() && text[pos] == separator && isDigit(text[pos + 1])) {
        ++pos;
        second = readNumber(text, pos);
        if (second.digits != 2) {
            return std::nullopt;
        }
        // A fraction of a second, to the microsecond.
        if (pos + 1 < text.size() && (text[pos] == ',' || (text[pos] == '.' && separator == ':')) &&
            isDigit(text[pos + 1])) {
            ++pos;
            long scale = 100000;
            for (; pos < text.size() && isDigit(text[pos]); ++pos, scale /= 10) {
                microsecond += (text[pos] - '0') * scale;
            }
        }
    }
    const std::string_view after = trimmed(text.substr(pos));
    if (!before.empty() && !after.empty()) {
        return std::nullopt;
    }
    long hours = hour.value;
    // A 12-hour clock, its marker before the time (Korean, Chinese) or after it: "12:05 AM" is five
    // past midnight, "12:05 PM" five past noon.
    if (const std::string_view marker = before.empty() ? after : before; !marker.empty()) {
        const std::optional<bool> pm = afternoon(marker);
        if (!pm || hours > 12) {
            return std::nullopt;
        }
        hours = (hours % 12) + (*pm ? 12 : 0);
    }
    if (hours > 23 || minute.value > 59 || second.value > 59) {
        return std::nullopt;
    }
    std::string result = format("%02ld:%02ld:%02ld", hours, minute.value, second.value);
    if (microsecond != 0) {
        result += format(".%06ld", microsecond, 0, 0);
    }
    return result;
}

} // namespace trestan::gatan
