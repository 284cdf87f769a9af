// Logger: where the capture's diagnostics go. Each call carries one finished text.
// A logger may throw (VideoError or an Interrupt); the capture treats that like any
// other failure at the place of the call.
//
// The host also decides how values read in those texts: the text of a failure and of a
// number. The defaults are the core's own plain forms.
#pragma once

#include <exception>
#include <string>

#include "number.hpp"

namespace corvane::video {

class Logger {
 public:
  virtual ~Logger() = default;
  virtual void info(const std::string& text) = 0;
  virtual void warning(const std::string& text) = 0;
  virtual void error(const std::string& text) = 0;

  // The text that follows the fixed part of an error line.
  virtual std::string describe(const std::exception& e) { return e.what(); }
  // A number in its plain text form, and with two decimals.
  virtual std::string text(const Number& n) { return n.text(); }
  virtual std::string fixed2(const Number& n) { return n.fixed2(); }
};

}  // namespace corvane::video
