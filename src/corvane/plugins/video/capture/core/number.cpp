// Text forms and conversions of Number.
#include "number.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "errors.hpp"

namespace corvane::video {

Number Number::plus_one() const {
  if (is_integer_) {
    return int_ == std::numeric_limits<std::int64_t>::max() ? real(static_cast<double>(int_) + 1.0)
                                                            : integer(int_ + 1);
  }
  return real(real_ + 1.0);
}

bool Number::less_than(std::int64_t v) const {
  if (is_integer_) return int_ < v;
  return real_ < static_cast<double>(v);
}

std::int64_t Number::truncate() const {
  if (is_integer_) return int_;
  if (std::isnan(real_)) throw VideoError("cannot convert float NaN to integer");
  if (std::isinf(real_)) throw VideoError("cannot convert float infinity to integer");
  const double t = std::trunc(real_);
  // 2^63 is exactly representable; anything at or beyond it does not fit.
  if (t >= 9223372036854775808.0 || t < -9223372036854775808.0) {
    throw VideoError("Python int too large to convert to C long");
  }
  return static_cast<std::int64_t>(t);
}

namespace {

// Shortest round-trip digits laid out the way the host language prints floats:
// positional for exponents -4..15, scientific with a signed two-digit exponent otherwise,
// and always with a decimal point or an exponent.
std::string float_text(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string sci(buf, res.ptr);
  const auto e_pos = sci.find('e');
  std::string mantissa = sci.substr(0, e_pos);
  const int exponent = std::stoi(sci.substr(e_pos + 1));
  std::string sign;
  if (!mantissa.empty() && mantissa[0] == '-') {
    sign = "-";
    mantissa.erase(0, 1);
  }
  std::string digits;
  for (char c : mantissa) {
    if (c != '.') digits += c;
  }
  if (exponent < -4 || exponent >= 16) {
    std::string out = sign + digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    char exp_buf[16];
    std::snprintf(exp_buf, sizeof exp_buf, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
    return out + exp_buf;
  }
  if (exponent < 0) {
    return sign + "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
  }
  const auto int_len = static_cast<size_t>(exponent) + 1;
  if (digits.size() <= int_len) {
    return sign + digits + std::string(int_len - digits.size(), '0') + ".0";
  }
  return sign + digits.substr(0, int_len) + "." + digits.substr(int_len);
}

}  // namespace

std::string Number::text() const { return is_integer_ ? std::to_string(int_) : float_text(real_); }

std::string Number::fixed2() const {
  const double v = to_double();
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

}  // namespace corvane::video
