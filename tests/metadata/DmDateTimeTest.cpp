#include "trestan/gatan/DmDateTime.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace {

using trestan::gatan::isoDate;
using trestan::gatan::isoTime;

struct Case {
    std::string text;
    std::optional<std::string> expected;
};

TEST(DmDateTime, DatesOfEveryLocaleFormBecomeIso) {
    const std::vector<Case> cases = {
        {"8/8/2016", "2016-08-08"},             // US, no leading zeros
        {"12/10/2019", "2019-12-10"},           // month first when both fields could be a month
        {"27/08/2016", "2016-08-27"},           // day first when the first field is no month
        {"04/11/2020", "2020-04-11"},           //
        {"27.08.2016", "2016-08-27"},           // German form
        {"2016-08-27", "2016-08-27"},           // ISO stays
        {"2020/10/27", "2020-10-27"},           // year first
        {"27/10/2020 13:34:29 ", "2020-10-27"}, // date and time in one tag
        {"2/29/2020", "2020-02-29"},            // leap day
        {"2/29/2019", std::nullopt},            // no such day
        {"13/13/2020", std::nullopt},           // neither field a month
        {"31/04/2020", std::nullopt},           // April has 30 days
        {"8/8/16", std::nullopt},               // a two-digit year is not guessed
        {"", std::nullopt},
        {"Mon Aug 08 2016", std::nullopt},
        {"8/8/20161", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isoDate(c.text), c.expected) << '"' << c.text << '"';
    }
}

TEST(DmDateTime, TimesOfTwelveAndTwentyFourHourClocksBecomeIso) {
    const std::vector<Case> cases = {
        {"7:35:17 PM", "19:35:17"},  {"11:41:07 AM", "11:41:07"}, {"12:05:00 AM", "00:05:00"},
        {"12:05:00 PM", "12:05:00"}, {"20:52:30", "20:52:30"},    {"09:05", "09:05:00"},
        {"16:19:19.25", "16:19:19"}, {"7:35:17 pm", "19:35:17"},  {"13:00:00 PM", std::nullopt},
        {"24:00:00", std::nullopt},  {"10:60:00", std::nullopt},  {"7:35:17 XY", std::nullopt},
        {"", std::nullopt},          {"735", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isoTime(c.text), c.expected) << '"' << c.text << '"';
    }
}

} // namespace
