// Number: a value of a capture that keeps the kind it was given.
//
// Several values of a capture keep their kind: the rate is the integer 0 until a start
// stores the floating-point rate the source reports, a seek stores the frame number
// exactly as passed (10 stays an integer, 10.5 a float, and a value of a kind the core
// does not know stays that value), and counting on from a value keeps its kind.
//
// Integers have no size limit: one that does not fit 64 bits is kept as its decimal
// digits, so a frame count of 2**63 or -2**63 - 1 is stored, compared, counted and
// written exactly. A value of another kind is a HostNumber: the host that made it does
// its arithmetic and writes its text.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace corvane::video {

class Number;

// A number of a kind only the host knows (a fraction, a decimal). Its operations may
// throw VideoError or an Interrupt, as host calls do.
class HostNumber {
 public:
  virtual ~HostNumber() = default;
  virtual std::string text() const = 0;
  virtual double to_double() const = 0;
  virtual Number plus_one() const = 0;
  // This value < other, and this value > other, as the host compares them.
  virtual bool less_than(const Number& other) const = 0;
  virtual bool greater_than(const Number& other) const = 0;
};

class Number {
 public:
  enum class Kind { kInteger, kReal, kHost };

  Number() = default;
  static Number integer(std::int64_t v);
  static Number real(double v);
  // An integer given by its decimal digits, with an optional leading '-'.
  static Number integer_from_digits(const std::string& digits);
  static Number host(std::shared_ptr<const HostNumber> value);

  Kind kind() const { return kind_; }
  bool is_integer() const { return kind_ == Kind::kInteger; }
  // True for an integer that fits 64 bits; as_integer() is then its value.
  bool fits_int64() const { return kind_ == Kind::kInteger && digits_.empty(); }
  std::int64_t as_integer() const { return int_; }
  const HostNumber* host_value() const { return host_.get(); }
  // The nearest double (an infinity for an integer beyond the double range).
  double to_double() const;

  // The value plus one and minus one, of the same kind (an integer stays exact).
  Number plus_one() const;
  Number minus_one() const;
  // Strictly greater than zero; false for NaN.
  bool is_positive() const;
  bool less_than(const Number& other) const;

  // Conversion to an integer by truncation toward zero; throws NoIntegerValue for NaN
  // and the infinities.
  Number truncate() const;

  // Decimal digits for an integer, the shortest round-trip form for a float, the host's
  // text for a host value.
  std::string text() const;
  // Fixed-point text with two decimals ("0.00", "29.97", "nan").
  std::string fixed2() const;

  friend bool operator==(const Number& a, const Number& b);

 private:
  Kind kind_ = Kind::kInteger;
  std::int64_t int_ = 0;
  std::string digits_;  // an integer outside 64 bits: its decimal digits, sign first
  double real_ = 0.0;
  std::shared_ptr<const HostNumber> host_;
};

}  // namespace corvane::video
