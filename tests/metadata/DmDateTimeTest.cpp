// Dates and times of every locale form (datetimes.txt) become ISO or nothing.

#include "trestan/gatan/DmDateTime.h"

#include <fstream>
#include <gtest/gtest.h>
#include <string>

TEST(DmDateTime, DatesAndTimesOfEveryLocaleFormBecomeIso) {
    std::ifstream table(std::string(TRESTAN_TEST_SOURCE_DIR) + "/tests/metadata/datetimes.txt");
    ASSERT_TRUE(table.is_open());
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::size_t first = line.find('|');
        const std::size_t last = line.rfind('|');
        const std::string text = line.substr(first + 1, last - first - 1);
        const auto iso =
            line.starts_with("date|") ? trestan::gatan::isoDate(text) : trestan::gatan::isoTime(text);
        EXPECT_EQ(iso.value_or("-"), line.substr(last + 1)) << line;
    }
}
