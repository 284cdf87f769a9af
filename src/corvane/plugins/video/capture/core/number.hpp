// Number: an integer or a floating-point value that remembers which of the two it is.
//
// Several values of a capture keep the kind they were given: the rate is the integer 0
// until a start stores the floating-point rate the source reports, a seek stores the
// frame number exactly as passed (10 stays an integer, 10.5 stays a float), and counting
// on from a float stays a float. Text forms follow the host language's conventions so
// that log lines read the same whichever kind a value has.
#pragma once

#include <cstdint>
#include <string>

namespace corvane::video {

class Number {
 public:
  constexpr Number() = default;
  static constexpr Number integer(std::int64_t v) { return Number(v); }
  static constexpr Number real(double v) { return Number(v); }

  bool is_integer() const { return is_integer_; }
  std::int64_t as_integer() const { return int_; }
  double to_double() const { return is_integer_ ? static_cast<double>(int_) : real_; }

  // The value plus one, of the same kind.
  Number plus_one() const;
  // Strictly greater than zero; false for NaN.
  bool is_positive() const { return is_integer_ ? int_ > 0 : real_ > 0.0; }
  bool less_than(std::int64_t v) const;
  bool greater_or_equal(std::int64_t v) const { return !less_than(v) && !is_nan(); }
  bool is_nan() const { return !is_integer_ && real_ != real_; }

  // Conversion to an integer by truncation toward zero; throws VideoError for NaN,
  // infinities and values outside the 64-bit range.
  std::int64_t truncate() const;

  // Plain text form: decimal digits for an integer, the shortest round-trip form for a
  // float with at least one decimal ("10.5", "25.0", "1e+16", "nan", "inf").
  std::string text() const;
  // Fixed-point text with two decimals ("0.00", "29.97", "nan").
  std::string fixed2() const;

  friend bool operator==(const Number& a, const Number& b) {
    return a.is_integer_ == b.is_integer_ &&
           (a.is_integer_ ? a.int_ == b.int_ : a.real_ == b.real_);
  }

 private:
  explicit constexpr Number(std::int64_t v) : is_integer_(true), int_(v) {}
  explicit constexpr Number(double v) : is_integer_(false), real_(v) {}

  bool is_integer_ = true;
  std::int64_t int_ = 0;
  double real_ = 0.0;
};

}  // namespace corvane::video
