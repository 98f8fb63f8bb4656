#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace trestan::gatan {

/// A date as DM writes it in the acquiring computer's locale, as ISO "YYYY-MM-DD". Numeric dates
/// with '/', '.', '-' or blanks between the fields are read month first ("8/31/2016") when the
/// first field can be a month, day first ("31/08/2016") when it cannot, and year first when the
/// first field has four digits ("2016-08-31", "2016. 8. 31.") or cannot be a day; two-digit years
/// are 1970 to 2069. Also read: the year, month and day marks of Chinese, Japanese and Korean dates
/// ("2016年8月31日"), English month names ("31-Aug-2016", "Wednesday, August 31, 2016"), eight
/// digits ("20160831"). A time after the date ("27/10/2020 13:34:29") is ignored. Empty when the
/// text is no valid date.
std::optional<std::string> isoDate(std::string_view text);

/// A time of day as DM writes it ("7:35:17 PM", "19:35:17", "19:35", "8:55:59 p.m.", "오후 8:55:59",
/// "20.55.59"), as "HH:MM:SS", followed by ".ffffff" when the text gives a fraction of a second.
/// 12-hour clocks may carry their marker before or after the time, in any of the forms of the
/// locales DM runs in (AM/PM, a.m./p.m., a. m./p. m., vorm./nachm., 午前/午後, 上午/下午, 오전/오후,
/// π.μ./μ.μ., ص/م and others). Empty when the text is no valid time.
std::optional<std::string> isoTime(std::string_view text);

} // namespace trestan::gatan
