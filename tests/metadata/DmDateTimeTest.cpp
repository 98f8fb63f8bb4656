// Dates and times of every locale form (datetimes.txt) become ISO or nothing.

#include "trestan/gatan/DmDateTime.h"

#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// The text of a table cell: "\uXXXX" stands for that character, written as UTF-8.
std::string unescape(const std::string& cell) {
    std::string text;
    for (std::size_t i = 0; i < cell.size(); ++i) {
        if (cell.compare(i, 2, "\\u") != 0 || i + 6 > cell.size()) {
            text += cell[i];
            continue;
        }
        const auto code = static_cast<unsigned>(std::stoul(cell.substr(i + 2, 4), nullptr, 16));
        if (code < 0x80) {
            text += static_cast<char>(code);
        } else if (code < 0x800) {
            text += static_cast<char>(0xC0 | (code >> 6));
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            text += static_cast<char>(0xE0 | (code >> 12));
            text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        }
        i += 5;
    }
    return text;
}

std::vector<std::string> cells(const std::string& line) {
    std::vector<std::string> result;
    std::size_t start = 0;
    for (std::size_t bar; (bar = line.find('|', start)) != std::string::npos; start = bar + 1) {
        result.push_back(line.substr(start, bar - start));
    }
    result.push_back(line.substr(start));
    return result;
}

TEST(DmDateTime, DatesAndTimesOfEveryLocaleFormBecomeIso) {
    std::ifstream table(std::string(TRESTAN_TEST_SOURCE_DIR) + "/tests/metadata/datetimes.txt");
    ASSERT_TRUE(table.is_open());
    std::size_t rows = 0;
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::vector<std::string> row = cells(line);
        ASSERT_GE(row.size(), 3U) << line;
        ASSERT_TRUE(row[0] == "date" || row[0] == "time") << line;
        const std::string text = unescape(row[1]);
        const auto iso = row[0] == "date" ? trestan::gatan::isoDate(text) : trestan::gatan::isoTime(text);
        EXPECT_EQ(iso.value_or("-"), row[2]) << line;
        ++rows;
    }
    EXPECT_GT(rows, 50U);
}

} // namespace
