// Logger: where the capture's diagnostics go. Each call carries one finished text.
// A logger may throw (VideoError or an Interrupt); the capture treats that like any
// other failure at the place of the call.
#pragma once

#include <string>

namespace corvane::video {

class Logger {
 public:
  virtual ~Logger() = default;
  virtual void info(const std::string& text) = 0;
  virtual void warning(const std::string& text) = 0;
  virtual void error(const std::string& text) = 0;
};

}  // namespace corvane::video
