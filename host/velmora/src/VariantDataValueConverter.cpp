#include "velmora/Error.h"
#include "velmora/VariantDataValue.h"

#include <charconv>
#include <cmath>
#include <fmt/format.h>
#include <limits>
#include <type_traits>
#include <utility>

namespace velmora {

namespace {

void checkNumericScalar(const VariantDataValue& value, const char* target) {
    if (value.isString()) {
        throw Error(fmt::format("cannot convert a string value to {}", target));
    }
    if (value.count() == 0) {
        throw Error(fmt::format("cannot convert an empty {} run to {}", valueTypeName(value.type()), target));
    }
}

const VariantDataValue& dereference(const std::shared_ptr<VariantDataValue>& value, const char* target) {
    if (!value) {
        throw Error(fmt::format("cannot convert a null value to {}", target));
    }
    return *value;
}

template <typename Target> Target toInteger(const VariantDataValue& value, const char* target) {
    checkNumericScalar(value, target);
    return visitElement(value, 0, [&](auto element) -> Target {
        using Source = decltype(element);
        if constexpr (std::is_integral_v<Source>) {
            if (!std::in_range<Target>(element)) {
                throw Error(fmt::format("{} value {} is out of the range of {}", valueTypeName(value.type()),
                                        element, target));
            }
            return static_cast<Target>(element);
        } else {
            const double number = element;
            if (std::isnan(number)) {
                throw Error(fmt::format("cannot convert NaN to {}", target));
            }
            // Truncation toward zero, then a range test against the exact powers of two that bound
            // the target type; both bounds are exactly representable as doubles.
            const double truncated = std::trunc(number);
            constexpr int bits = std::numeric_limits<Target>::digits;
            const double upper = std::ldexp(1.0, bits);
            const double lower = std::is_signed_v<Target> ? -upper : 0.0;
            if (!(truncated >= lower && truncated < upper)) {
                throw Error(fmt::format("{} value {} is out of the range of {}", valueTypeName(value.type()),
                                        number, target));
            }
            return static_cast<Target>(truncated);
        }
    });
}

// Shortest decimal text that reads back as the same number.
void appendNumber(std::string& out, const VariantDataValue& value, std::size_t index) {
    char text[64];
    const auto result = visitElement(value, index, [&](auto element) {
        using Source = decltype(element);
        if constexpr (std::is_integral_v<Source> && sizeof(Source) == 1) {
            return std::to_chars(std::begin(text), std::end(text), static_cast<int>(element));
        } else {
            return std::to_chars(std::begin(text), std::end(text), element);
        }
    });
    out.append(text, result.ptr);
}

} // namespace

std::int32_t VariantDataValueConverter::toInt32(const VariantDataValue& value) {
    return toInteger<std::int32_t>(value, "int32");
}

std::int64_t VariantDataValueConverter::toInt64(const VariantDataValue& value) {
    return toInteger<std::int64_t>(value, "int64");
}

std::uint64_t VariantDataValueConverter::toUint64(const VariantDataValue& value) {
    return toInteger<std::uint64_t>(value, "uint64");
}

double VariantDataValueConverter::toDouble(const VariantDataValue& value) {
    checkNumericScalar(value, "float64");
    // Every element type widens to double; NaN and infinities pass through as they are.
    return visitElement(value, 0, [](auto element) { return static_cast<double>(element); });
}

std::string VariantDataValueConverter::toString(const VariantDataValue& value) {
    if (value.isString()) {
        return value.text();
    }
    std::string out;
    if (value.count() == 1) {
        appendNumber(out, value, 0);
        return out;
    }
    out += '[';
    for (std::size_t i = 0; i < value.count(); ++i) {
        if (i != 0) {
            out += ", ";
        }
        appendNumber(out, value, i);
    }
    out += ']';
    return out;
}

std::int32_t VariantDataValueConverter::toInt32(const std::shared_ptr<VariantDataValue>& value) {
    return toInt32(dereference(value, "int32"));
}

std::int64_t VariantDataValueConverter::toInt64(const std::shared_ptr<VariantDataValue>& value) {
    return toInt64(dereference(value, "int64"));
}

std::uint64_t VariantDataValueConverter::toUint64(const std::shared_ptr<VariantDataValue>& value) {
    return toUint64(dereference(value, "uint64"));
}

double VariantDataValueConverter::toDouble(const std::shared_ptr<VariantDataValue>& value) {
    return toDouble(dereference(value, "float64"));
}

std::string VariantDataValueConverter::toString(const std::shared_ptr<VariantDataValue>& value) {
    return toString(dereference(value, "a string"));
}

} // namespace velmora
