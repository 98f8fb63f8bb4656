// Values: the converters' results and refusals as a table, and numbers printed to read back the same.

#include "velmora/Error.h"
#include "velmora/VariantDataValue.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <map>
#include <random>
#include <sstream>

using namespace velmora;
using Converter = VariantDataValueConverter;
using Value = std::shared_ptr<VariantDataValue>;

namespace {

template <typename T> Value of(T element) {
    return VariantDataValueFactory::create(&element, 1ul);
}

Value parse(const std::string& type, const std::string& text) {
    using Parse = std::function<Value()>;
    const double number = std::strtod(text.c_str(), nullptr);
    const std::map<std::string, Parse> parsers{
        {"int8", [&] { return of(static_cast<std::int8_t>(std::stoi(text))); }},
        {"uint8", [&] { return of(static_cast<std::uint8_t>(std::stoi(text))); }},
        {"int32", [&] { return of(std::stoi(text)); }},
        {"int64", [&] { return of(static_cast<std::int64_t>(std::stoll(text))); }},
        {"uint32", [&] { return of(static_cast<std::uint32_t>(std::stoul(text))); }},
        {"uint64", [&] { return of(static_cast<std::uint64_t>(std::stoull(text))); }},
        {"float32", [&] { return of(static_cast<float>(number)); }},
        {"float64", [&] { return of(number); }},
        {"string", [&] { return VariantDataValueFactory::create(text); }},
        {"empty", [&] { return VariantDataValueFactory::create(static_cast<const int*>(nullptr), 0ul); }},
        {"null", [&] { return Value(); }}};
    return parsers.at(type)();
}

TEST(VariantDataValueConverter, ConvertsWithinRangeTruncatingTowardZeroAndRefusesTheRest) {
    std::ifstream table(TRESTAN_TEST_SOURCE_DIR "/tests/host/conversions.txt");
    int rows = 0;
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string type, text, target, expected;
        if (line.starts_with("#") || !(fields >> type >> text >> target) ||
            !std::getline(fields >> std::ws, expected)) {
            continue;
        }
        ++rows;
        const Value value = parse(type, text == "-" ? "0" : text);
        try {
            const std::string result =
                target == "int32"    ? std::to_string(Converter::toInt32(value))
                : target == "int64"  ? std::to_string(Converter::toInt64(value))
                : target == "uint64" ? std::to_string(Converter::toUint64(value))
                : target == "text"
                    ? Converter::toString(*value)
                    : Converter::toString(*VariantDataValueFactory::create(Converter::toDouble(value)));
            EXPECT_EQ(result, expected) << line;
        } catch (const Error& e) {
            EXPECT_TRUE(expected == "refused" || expected == e.what()) << line << ": " << e.what();
        }
    }
    EXPECT_GT(rows, 40);
    // Runs whose size overflows or that have elements but no data are refused when made.
    const double element = 0;
    EXPECT_THROW(VariantDataValueFactory::create(&element, ULONG_MAX), InvalidArgument);
    EXPECT_THROW(VariantDataValueFactory::create(static_cast<const int*>(nullptr), 2ul), InvalidArgument);
}

TEST(VariantDataValueConverter, NumbersPrintInShortestRoundTripForm) {
    std::mt19937_64 generator(5);
    for (int i = 0; i < 1000; ++i) {
        double number = 0;
        const std::uint64_t bits = generator();
        std::memcpy(&number, &bits, sizeof number);
        if (std::isfinite(number)) {
            const std::string text = Converter::toString(VariantDataValueFactory::create(number));
            EXPECT_EQ(std::strtod(text.c_str(), nullptr), number) << text;
        }
    }
}

} // namespace
