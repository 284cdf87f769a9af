// Number: kinds, exact integers of any size, comparisons and integer conversion.
#include "core/number.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/errors.hpp"

namespace corvane::video {
namespace {

constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
constexpr auto kMin = std::numeric_limits<std::int64_t>::min();

TEST(NumberText, PlainForms) {
  EXPECT_EQ(Number::integer(-1).text(), "-1");
  EXPECT_EQ(Number::real(10.5).text(), "10.5");
  EXPECT_EQ(Number::real(std::nan("")).text(), "nan");
  EXPECT_EQ(Number::integer(0).fixed2(), "0.00");
  EXPECT_EQ(Number::real(29.97002997).fixed2(), "29.97");
  EXPECT_EQ(Number::real(-std::nan("")).fixed2(), "nan");
}

// value, its text, the texts of value + 1 and value - 1: exact past 64 bits both ways.
struct Counting {
  Number value;
  const char* text;
  const char* plus_one;
  const char* minus_one;
};

class NumberCounting : public ::testing::TestWithParam<Counting> {};

TEST_P(NumberCounting, CountsExactlyWithoutOverflow) {
  const Counting& c = GetParam();
  EXPECT_EQ(c.value.text(), c.text);
  EXPECT_EQ(c.value.plus_one().text(), c.plus_one);
  EXPECT_EQ(c.value.minus_one().text(), c.minus_one);
  EXPECT_TRUE(c.value.minus_one().less_than(c.value));
  EXPECT_TRUE(c.value.less_than(c.value.plus_one()));
  EXPECT_FALSE(c.value.less_than(c.value));
}

INSTANTIATE_TEST_SUITE_P(
    Integers, NumberCounting,
    ::testing::Values(
        Counting{Number::integer(0), "0", "1", "-1"},
        Counting{Number::integer(kMax), "9223372036854775807", "9223372036854775808",
                 "9223372036854775806"},
        Counting{Number::integer(kMin), "-9223372036854775808", "-9223372036854775807",
                 "-9223372036854775809"},
        Counting{Number::integer_from_digits("-10000000000000000000"), "-10000000000000000000",
                 "-9999999999999999999", "-10000000000000000001"},
        Counting{Number::real(-9223372036854775808.0).truncate(), "-9223372036854775808",
                 "-9223372036854775807", "-9223372036854775809"},
        Counting{Number::real(1e30).truncate(), "1000000000000000019884624838656",
                 "1000000000000000019884624838657", "1000000000000000019884624838655"}));

TEST(NumberTruncate, TowardZeroAndRefusesWhatHasNoInteger) {
  EXPECT_EQ(Number::real(299.99).truncate(), Number::integer(299));
  EXPECT_EQ(Number::real(-2.7).truncate(), Number::integer(-2));
  EXPECT_EQ(Number::real(9223372036854775808.0).truncate(),
            Number::integer_from_digits("9223372036854775808"));
  EXPECT_EQ(Number::integer_from_digits("-0042"), Number::integer(-42));
  EXPECT_THROW(Number::real(std::nan("")).truncate(), NoIntegerValue);
  EXPECT_THROW(Number::real(INFINITY).truncate(), NoIntegerValue);
}

TEST(NumberCompare, IntegersAndFloatsCompareExactly) {
  const Number big = Number::integer_from_digits("9223372036854775808");
  EXPECT_TRUE(Number::integer(kMax).less_than(big));
  EXPECT_TRUE(Number::real(10.5).less_than(Number::integer(11)));
  EXPECT_FALSE(Number::integer(11).less_than(Number::real(10.5)));
  EXPECT_TRUE(Number::integer(kMax).less_than(Number::real(9223372036854775808.0)));
  EXPECT_FALSE(big.less_than(Number::real(9223372036854775808.0)));
  EXPECT_TRUE(Number::real(-INFINITY).less_than(Number::integer(kMin)));
  EXPECT_FALSE(Number::real(std::nan("")).less_than(Number::integer(1)));
  EXPECT_FALSE(Number::integer(1).less_than(Number::real(std::nan(""))));
  EXPECT_EQ(big.to_double(), 9223372036854775808.0);
  EXPECT_TRUE(big.is_positive());
  EXPECT_FALSE(Number::real(std::nan("")).is_positive());
}

TEST(NumberKind, PlusOneKeepsTheKind) {
  EXPECT_EQ(Number::integer(4).plus_one(), Number::integer(5));
  EXPECT_EQ(Number::real(10.5).plus_one(), Number::real(11.5));
}

}  // namespace
}  // namespace corvane::video
