#include "velmora/Error.h"
#include "velmora/VariantDataValue.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <random>

using namespace velmora;
using Converter = VariantDataValueConverter;

namespace {

template <typename T, ValueType Type> struct Element {
    using type = T;
    static constexpr ValueType valueType = Type;
};

template <typename E> class NumericValue : public ::testing::Test {};
using ElementTypes =
    ::testing::Types<Element<signed char, ValueType::Int8>, Element<unsigned char, ValueType::UInt8>,
                     Element<short, ValueType::Int16>, Element<unsigned short, ValueType::UInt16>,
                     Element<int, ValueType::Int32>, Element<unsigned int, ValueType::UInt32>,
                     Element<long, ValueType::Int64>, Element<unsigned long, ValueType::UInt64>,
                     Element<float, ValueType::Float32>, Element<double, ValueType::Float64>>;
TYPED_TEST_SUITE(NumericValue, ElementTypes);

TYPED_TEST(NumericValue, FactoryCopiesRunsAndKeepsScalarsInsideTheValue) {
    using T = typename TypeParam::type;
    T source[] = {T(1), T(2), T(100)};
    const auto value = VariantDataValueFactory::create(source, 3ul);
    source[0] = T(7); // the value owns a copy
    EXPECT_EQ(value->type(), TypeParam::valueType);
    EXPECT_EQ(valueTypeSize(value->type()), sizeof(T));
    EXPECT_FALSE(value->isString());
    ASSERT_EQ(value->count(), 3u);
    EXPECT_EQ(value->template at<T>(0), T(1));
    EXPECT_EQ(value->template at<T>(2), T(100));
    EXPECT_EQ(Converter::toInt64(*value), 1);
    EXPECT_EQ(Converter::toString(*value), "[1, 2, 100]");

    const auto scalar = VariantDataValueFactory::create(&source[2], 1ul);
    const auto* begin = reinterpret_cast<const std::uint8_t*>(scalar.get());
    const auto* data = static_cast<const std::uint8_t*>(scalar->data());
    EXPECT_TRUE(data >= begin && data + sizeof(T) <= begin + sizeof(VariantDataValue))
        << "a scalar should not need a separate allocation";
    EXPECT_EQ(Converter::toDouble(*scalar), 100.0);
    EXPECT_EQ(Converter::toString(*scalar), "100");
}

TEST(VariantDataValue, EmptyRunsAndTextsMissingElementsAndTextAsNumberRefused) {
    const auto empty = VariantDataValueFactory::create(static_cast<const double*>(nullptr), 0ul);
    EXPECT_EQ(empty->count(), 0u);
    EXPECT_EQ(empty->data(), nullptr);
    EXPECT_EQ(Converter::toString(*empty), "[]");

    const std::string bytes("a\0b", 3);
    const auto text = VariantDataValueFactory::create(bytes);
    EXPECT_TRUE(text->isString());
    EXPECT_EQ(text->count(), 3u);
    EXPECT_EQ(text->data(), nullptr);
    EXPECT_EQ(Converter::toString(*text), bytes);

    EXPECT_THROW(VariantDataValueFactory::create(static_cast<const int*>(nullptr), 2ul), InvalidArgument);
    const int one = 1;
    EXPECT_THROW(VariantDataValue(ValueType::String, &one, 1), InvalidArgument);
    const double element = 0;
    EXPECT_THROW(VariantDataValueFactory::create(&element, ULONG_MAX), InvalidArgument) << "size overflows";
}

TEST(VariantDataValue, ScalarFactoriesKeepTheirTypes) {
    EXPECT_EQ(VariantDataValueFactory::create(-3)->type(), ValueType::Int32);
    EXPECT_EQ(VariantDataValueFactory::create(-3l)->type(), ValueType::Int64);
    EXPECT_EQ(VariantDataValueFactory::create(3ul)->type(), ValueType::UInt64);
    EXPECT_EQ(VariantDataValueFactory::create(0.5)->type(), ValueType::Float64);
    EXPECT_EQ(Converter::toUint64(VariantDataValueFactory::create(ULONG_MAX)), ULONG_MAX);
}

TEST(VariantDataValueConverter, IntegersConvertWithinRange) {
    const signed char minusFive = -5;
    EXPECT_EQ(Converter::toInt32(VariantDataValueFactory::create(&minusFive, 1ul)), -5);
    const unsigned int big = 4000000000u;
    EXPECT_THROW(Converter::toInt32(VariantDataValueFactory::create(&big, 1ul)), Error);
    EXPECT_EQ(Converter::toInt64(VariantDataValueFactory::create(&big, 1ul)), 4000000000);
    EXPECT_EQ(Converter::toInt32(VariantDataValueFactory::create(long{INT32_MIN})), INT32_MIN);
    EXPECT_THROW(Converter::toInt32(VariantDataValueFactory::create(long{INT32_MIN} - 1)), Error);
    EXPECT_THROW(Converter::toUint64(VariantDataValueFactory::create(-1)), Error);
    EXPECT_THROW(Converter::toInt64(VariantDataValueFactory::create(1ul << 63)), Error);
    EXPECT_EQ(Converter::toInt64(VariantDataValueFactory::create(long{INT64_MIN})), INT64_MIN);
    EXPECT_EQ(Converter::toDouble(VariantDataValueFactory::create(ULONG_MAX)), 18446744073709551615.0);
}

TEST(VariantDataValueConverter, FloatingPointTruncatesTowardZero) {
    auto d = [](double v) { return VariantDataValueFactory::create(v); };
    EXPECT_EQ(Converter::toInt32(d(2.9)), 2);
    EXPECT_EQ(Converter::toInt32(d(-2.9)), -2);
    EXPECT_EQ(Converter::toInt32(d(2147483647.9)), INT32_MAX);
    EXPECT_EQ(Converter::toInt32(d(-2147483648.9)), INT32_MIN);
    EXPECT_THROW(Converter::toInt32(d(2147483648.0)), Error);
    EXPECT_THROW(Converter::toInt32(d(-2147483649.0)), Error);
    EXPECT_EQ(Converter::toUint64(d(-0.9)), 0u);
    EXPECT_THROW(Converter::toUint64(d(-1.0)), Error);
    EXPECT_EQ(Converter::toUint64(d(18446744073709549568.0)), 18446744073709549568u);
    EXPECT_THROW(Converter::toUint64(d(18446744073709551616.0)), Error);
    EXPECT_THROW(Converter::toInt64(d(9223372036854775808.0)), Error);
    EXPECT_EQ(Converter::toInt64(d(-9223372036854775808.0)), INT64_MIN);
    const float f = 3.75f;
    EXPECT_EQ(Converter::toInt64(VariantDataValueFactory::create(&f, 1ul)), 3);
}

TEST(VariantDataValueConverter, RefusesWhatHasNoNumber) {
    const auto nan = VariantDataValueFactory::create(std::nan(""));
    const auto infinity = VariantDataValueFactory::create(std::numeric_limits<double>::infinity());
    const auto text = VariantDataValueFactory::create(std::string("12"));
    const auto empty = VariantDataValueFactory::create(static_cast<const int*>(nullptr), 0ul);
    const std::shared_ptr<VariantDataValue> null;
    for (const auto& value : {nan, infinity}) {
        EXPECT_THROW(Converter::toInt32(value), Error);
        EXPECT_THROW(Converter::toInt64(value), Error);
        EXPECT_THROW(Converter::toUint64(value), Error);
    }
    for (const auto& value : {text, empty, null}) {
        EXPECT_THROW(Converter::toInt32(value), Error);
        EXPECT_THROW(Converter::toInt64(value), Error);
        EXPECT_THROW(Converter::toUint64(value), Error);
        EXPECT_THROW(Converter::toDouble(value), Error);
    }
    EXPECT_THROW(Converter::toString(null), Error);
    // A NaN is a double like any other when read as one.
    EXPECT_TRUE(std::isnan(Converter::toDouble(nan)));
    try {
        Converter::toInt32(nan);
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "cannot convert NaN to int32");
    }
}

TEST(VariantDataValueConverter, NumbersPrintInShortestRoundTripForm) {
    EXPECT_EQ(Converter::toString(VariantDataValueFactory::create(0.1)), "0.1");
    EXPECT_EQ(Converter::toString(VariantDataValueFactory::create(1e300)), "1e+300");
    EXPECT_EQ(Converter::toString(VariantDataValueFactory::create(-2.5)), "-2.5");
    const float tenth = 0.1f;
    EXPECT_EQ(Converter::toString(VariantDataValueFactory::create(&tenth, 1ul)), "0.1");
    const signed char minus = -7;
    const unsigned char high = 200;
    EXPECT_EQ(Converter::toString(VariantDataValueFactory::create(&minus, 1ul)), "-7");
    EXPECT_EQ(Converter::toString(VariantDataValueFactory::create(&high, 1ul)), "200");
    EXPECT_EQ(Converter::toString(VariantDataValueFactory::create(long{INT64_MIN})), "-9223372036854775808");

    std::mt19937_64 generator(5);
    for (int i = 0; i < 1000; ++i) {
        double number = 0;
        const std::uint64_t bits = generator();
        std::memcpy(&number, &bits, sizeof number);
        if (!std::isfinite(number)) {
            continue;
        }
        const std::string text = Converter::toString(VariantDataValueFactory::create(number));
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), number) << text;
    }
}

} // namespace
