// Failure types of the capture core.
//
// The core tells two kinds of failure apart. An ordinary failure (any std::exception,
// including VideoError) is what the guarded parts of start, the worker's pass and seek
// catch, log and turn into a false result or a re-open. An interruption (Interrupt, which
// deliberately does not derive from std::exception) is a request of the host to abandon
// the current operation, such as a keyboard interrupt: no guard catches it.
#pragma once

#include <stdexcept>
#include <string>

namespace corvane::video {

// An ordinary failure of a source, a logger or a conversion; what() is the text that
// appears after the fixed part of an error line.
class VideoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A host's request to abandon the operation in progress. Passes through every guard.
class Interrupt {
 public:
  virtual ~Interrupt() = default;
};

}  // namespace corvane::video
