// CaptureLog: the capture's log lines, written only while the producing thread holds
// none of the capture's locks.
//
// The rule. No host code of the capture's own runs while the capture holds a lock: the
// lifecycle turn, lock_, a source's operation mutex, run_mutex_ or a leaf mutex. A host's
// logger may hold a lock of its own while its sinks run (loguru does), and a sink that
// touches the capture from another thread would wait for the capture's lock while the
// capture waits for the logger's: both for ever. So a line is composed (a host number's
// text, a failure's text: host code too) and written only when its thread holds no
// capture lock. A line produced inside such a scope (by a call that came back into the
// capture from a source's method, on that thread) is kept, with what its text needs, and
// written when the outermost scope has let go of its lock, in the order produced.
//
// The capture's own steps produce their lines after letting go (start after its turn,
// seek after lock_ and the source); holding back is what keeps the rule for the calls
// that come back from inside those steps. A held-back line has no caller left to fail:
// what writing it raises is dropped.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "logger.hpp"
#include "sync.hpp"

namespace corvane::video {

class CaptureLog {
 public:
  enum class Level { kInfo, kWarning, kError };
  // Builds a line's text in the logger's wording; called when the line is written.
  using Compose = std::function<std::string(Logger&)>;

  explicit CaptureLog(std::shared_ptr<Logger> logger) : logger_(std::move(logger)) {}

  void info(std::string text) { line(Level::kInfo, fixed(std::move(text))); }
  void warning(std::string text) { line(Level::kWarning, fixed(std::move(text))); }
  void error(std::string text) { line(Level::kError, fixed(std::move(text))); }
  // `text` followed by the text of `failure`.
  void error(std::string text, std::exception_ptr failure);
  // Writes the line now, or keeps it until the thread lets go of its capture locks.
  // What writing it now raises reaches the caller.
  void line(Level level, Compose compose);

  Logger& logger() { return *logger_; }

 private:
  static Compose fixed(std::string text) {
    return [text = std::move(text)](Logger&) { return text; };
  }

  std::shared_ptr<Logger> logger_;
};

// Marks a scope in which the calling thread holds one of the capture's locks: lines
// produced meanwhile wait for the end of the outermost such scope. Declared before the
// lock it covers, so that it ends after the lock has been let go.
class LogHold {
 public:
  LogHold() noexcept;
  ~LogHold();
  LogHold(const LogHold&) = delete;
  LogHold& operator=(const LogHold&) = delete;
};

// Whether the calling thread is inside a LogHold scope.
bool log_held();

// A LockGuard over one of the capture's Locks that holds log lines back while it lives.
class HeldLockGuard {
 public:
  explicit HeldLockGuard(Lock& lock, Interruption* interruption = nullptr)
      : guard_(lock, interruption) {}
  HeldLockGuard(Lock& lock, std::defer_lock_t) : guard_(lock, std::defer_lock) {}

  void acquire(Interruption* interruption = nullptr) { guard_.acquire(interruption); }
  void release() { guard_.release(); }

 private:
  LogHold hold_;  // first in, last out: ends after the guard has let go
  LockGuard guard_;
};

}  // namespace corvane::video
