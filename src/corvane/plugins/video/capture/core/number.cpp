// Number: exact integers of any size, floats, and host values; see number.hpp.
#include "number.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "errors.hpp"

namespace corvane::video {

namespace {

// An integer as a sign and the decimal digits of its magnitude, without leading zeros.
struct Decimal {
  bool negative = false;
  std::string magnitude;  // "0" for zero
};

Decimal decimal_of(const std::string& text) {
  Decimal d;
  size_t i = 0;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) d.negative = text[i++] == '-';
  while (i + 1 < text.size() && text[i] == '0') ++i;
  d.magnitude = text.substr(i);
  if (d.magnitude.empty()) d.magnitude = "0";
  if (d.magnitude == "0") d.negative = false;
  return d;
}

std::string text_of(const Decimal& d) { return (d.negative ? "-" : "") + d.magnitude; }

std::string increment(std::string m) {
  for (size_t i = m.size(); i-- > 0;) {
    if (m[i] != '9') {
      ++m[i];
      return m;
    }
    m[i] = '0';
  }
  return "1" + m;
}

// `m` is at least 1.
std::string decrement(std::string m) {
  for (size_t i = m.size(); i-- > 0;) {
    if (m[i] != '0') {
      --m[i];
      break;
    }
    m[i] = '9';
  }
  if (m.size() > 1 && m[0] == '0') m.erase(0, 1);
  return m;
}

// -1, 0 or 1 as a is below, equal to or above b.
int compare(const Decimal& a, const Decimal& b) {
  if (a.negative != b.negative) return a.negative ? -1 : 1;
  int by_magnitude = 0;
  if (a.magnitude.size() != b.magnitude.size()) {
    by_magnitude = a.magnitude.size() < b.magnitude.size() ? -1 : 1;
  } else if (a.magnitude != b.magnitude) {
    by_magnitude = a.magnitude < b.magnitude ? -1 : 1;
  }
  return a.negative ? -by_magnitude : by_magnitude;
}

// The exact decimal digits of a whole, finite double.
std::string digits_of_whole(double whole) {
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.0f", whole);
  return buf;
}

constexpr double kTwoTo63 = 9223372036854775808.0;

}  // namespace

Number Number::integer(std::int64_t v) {
  Number n;
  n.int_ = v;
  return n;
}

Number Number::real(double v) {
  Number n;
  n.kind_ = Kind::kReal;
  n.real_ = v;
  return n;
}

Number Number::integer_from_digits(const std::string& digits) {
  const std::string text = text_of(decimal_of(digits));
  std::int64_t v = 0;
  const auto res = std::from_chars(text.data(), text.data() + text.size(), v);
  if (res.ec == std::errc() && res.ptr == text.data() + text.size()) return integer(v);
  Number n;
  n.digits_ = text;
  return n;
}

Number Number::host(std::shared_ptr<const HostNumber> value) {
  Number n;
  n.kind_ = Kind::kHost;
  n.host_ = std::move(value);
  return n;
}

double Number::to_double() const {
  switch (kind_) {
    case Kind::kReal:
      return real_;
    case Kind::kHost:
      return host_->to_double();
    case Kind::kInteger:
      break;
  }
  return digits_.empty() ? static_cast<double>(int_) : std::strtod(digits_.c_str(), nullptr);
}

Number Number::plus_one() const {
  switch (kind_) {
    case Kind::kReal:
      return real(real_ + 1.0);
    case Kind::kHost:
      return host_->plus_one();
    case Kind::kInteger:
      break;
  }
  if (digits_.empty() && int_ != std::numeric_limits<std::int64_t>::max()) return integer(int_ + 1);
  Decimal d = decimal_of(text());
  d.magnitude = d.negative ? decrement(d.magnitude) : increment(d.magnitude);
  return integer_from_digits(text_of(d));
}

Number Number::minus_one() const {
  if (kind_ == Kind::kReal) return real(real_ - 1.0);
  if (kind_ == Kind::kHost) throw VideoError("no arithmetic on a host value here");
  if (digits_.empty() && int_ != std::numeric_limits<std::int64_t>::min()) return integer(int_ - 1);
  Decimal d = decimal_of(text());
  if (d.magnitude == "0") return integer(-1);
  d.magnitude = d.negative ? increment(d.magnitude) : decrement(d.magnitude);
  return integer_from_digits(text_of(d));
}

bool Number::is_positive() const {
  switch (kind_) {
    case Kind::kReal:
      return real_ > 0.0;
    case Kind::kHost:
      return integer(0).less_than(*this);
    case Kind::kInteger:
      break;
  }
  return digits_.empty() ? int_ > 0 : digits_[0] != '-';
}

bool Number::less_than(const Number& other) const {
  if (kind_ == Kind::kHost) return host_->less_than(other);
  if (other.kind_ == Kind::kHost) {
    // `this < other` is `other > this`; the host answers comparisons from its side.
    return other.host_->greater_than(*this);
  }
  if (kind_ == Kind::kReal && other.kind_ == Kind::kReal) return real_ < other.real_;
  if (kind_ == Kind::kInteger && other.kind_ == Kind::kInteger) {
    if (digits_.empty() && other.digits_.empty()) return int_ < other.int_;
    return compare(decimal_of(text()), decimal_of(other.text())) < 0;
  }
  // An integer against a float, exactly, as the host language compares them.
  const bool real_on_left = kind_ == Kind::kReal;
  const double r = real_on_left ? real_ : other.real_;
  const Number& i = real_on_left ? other : *this;
  if (std::isnan(r)) return false;
  if (std::isinf(r)) return real_on_left ? r < 0 : r > 0;
  const Decimal floor_r = decimal_of(digits_of_whole(std::floor(r)));
  const int c = compare(decimal_of(i.text()), floor_r);
  // i < r  <=>  i <= floor(r) when r is not whole, i < r when it is.
  const bool whole = std::floor(r) == r;
  if (!real_on_left) return whole ? c < 0 : c <= 0;
  return c > 0;  // r < i  <=>  floor(r) < i
}

Number Number::truncate() const {
  if (kind_ == Kind::kInteger) return *this;
  const double v = to_double();
  if (std::isnan(v)) throw NoIntegerValue(true);
  if (std::isinf(v)) throw NoIntegerValue(false);
  const double t = std::trunc(v);
  if (t >= -kTwoTo63 && t < kTwoTo63) return integer(static_cast<std::int64_t>(t));
  return integer_from_digits(digits_of_whole(t));
}

std::string Number::text() const {
  switch (kind_) {
    case Kind::kHost:
      return host_->text();
    case Kind::kReal: {
      if (std::isnan(real_)) return "nan";
      char buf[64];
      const auto res = std::to_chars(buf, buf + sizeof buf, real_);
      return std::string(buf, res.ptr);
    }
    case Kind::kInteger:
      break;
  }
  return digits_.empty() ? std::to_string(int_) : digits_;
}

std::string Number::fixed2() const {
  const double v = to_double();
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

bool operator==(const Number& a, const Number& b) {
  if (a.kind_ != b.kind_) return false;
  switch (a.kind_) {
    case Number::Kind::kReal:
      return a.real_ == b.real_;
    case Number::Kind::kHost:
      return a.host_ == b.host_;
    case Number::Kind::kInteger:
      break;
  }
  return a.int_ == b.int_ && a.digits_ == b.digits_;
}

}  // namespace corvane::video
