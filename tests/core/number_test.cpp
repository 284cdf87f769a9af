// Number: kinds, text forms and integer conversion.
#include "core/number.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/errors.hpp"

namespace corvane::video {
namespace {

TEST(NumberText, FollowsTheHostLanguageForms) {
  EXPECT_EQ(Number::integer(-1).text(), "-1");
  EXPECT_EQ(Number::real(10.5).text(), "10.5");
  EXPECT_EQ(Number::real(25.0).text(), "25.0");
  EXPECT_EQ(Number::real(0.1).text(), "0.1");
  EXPECT_EQ(Number::real(0.0001).text(), "0.0001");
  EXPECT_EQ(Number::real(0.00001).text(), "1e-05");
  EXPECT_EQ(Number::real(1e16).text(), "1e+16");
  EXPECT_EQ(Number::real(123456789012345.6).text(), "123456789012345.6");
  EXPECT_EQ(Number::real(-0.0).text(), "-0.0");
  EXPECT_EQ(Number::real(std::nan("")).text(), "nan");
  EXPECT_EQ(Number::real(-INFINITY).text(), "-inf");
}

TEST(NumberText, FixedTwoDecimals) {
  EXPECT_EQ(Number::integer(0).fixed2(), "0.00");
  EXPECT_EQ(Number::real(29.97002997).fixed2(), "29.97");
  EXPECT_EQ(Number::real(-std::nan("")).fixed2(), "nan");
}

TEST(NumberTruncate, TowardZeroAndRefusesWhatHasNoInteger) {
  EXPECT_EQ(Number::real(299.99).truncate(), 299);
  EXPECT_EQ(Number::real(-1.0).truncate(), -1);
  EXPECT_EQ(Number::real(-2.7).truncate(), -2);
  EXPECT_THROW(Number::real(std::nan("")).truncate(), VideoError);
  EXPECT_THROW(Number::real(INFINITY).truncate(), VideoError);
  EXPECT_THROW(Number::real(1e30).truncate(), VideoError);
}

TEST(NumberKind, PlusOneKeepsTheKind) {
  EXPECT_EQ(Number::integer(4).plus_one(), Number::integer(5));
  EXPECT_EQ(Number::real(10.5).plus_one(), Number::real(11.5));
  EXPECT_FALSE(Number::real(std::nan("")).is_positive());
}

}  // namespace
}  // namespace corvane::video
