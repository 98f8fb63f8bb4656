#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace trestan::gatan {

/// A date as DM writes it in the acquiring computer's locale, as ISO "YYYY-MM-DD". Numeric dates
/// with '/', '.' or '-' between the fields are read month first ("8/31/2016") unless the first
/// field cannot be a month, then day first ("31/08/2016"); a four-digit first field is read as
/// year-month-day. Anything after the date ("27/10/2020 13:34:29") is ignored. Empty when the text
/// is no valid date.
std::optional<std::string> isoDate(std::string_view text);

/// A time of day as DM writes it ("7:35:17 PM", "19:35:17", "19:35"), as "HH:MM:SS". Fractions of a
/// second are dropped. Empty when the text is no valid time.
std::optional<std::string> isoTime(std::string_view text);

} // namespace trestan::gatan
