// CaptureLog and LogHold: lines written only outside the capture's locks.
#include "capture_log.hpp"

#include <deque>
#include <utility>

#include "errors.hpp"

namespace corvane::video {

namespace {

struct HeldLine {
  std::shared_ptr<Logger> logger;
  CaptureLog::Level level;
  CaptureLog::Compose compose;
};

// Per thread: how deep it is in LogHold scopes, and the lines kept meanwhile.
struct Held {
  int depth = 0;
  std::deque<HeldLine> lines;
};
thread_local Held held;

void write(Logger& logger, CaptureLog::Level level, const CaptureLog::Compose& compose) {
  const std::string text = compose(logger);
  switch (level) {
    case CaptureLog::Level::kInfo:
      logger.info(text);
      break;
    case CaptureLog::Level::kWarning:
      logger.warning(text);
      break;
    case CaptureLog::Level::kError:
      logger.error(text);
      break;
  }
}

// Writes the lines kept on this thread, oldest first. A line may produce more (a sink
// that calls back into a capture): they are written in turn.
void write_held() noexcept {
  while (held.depth == 0 && !held.lines.empty()) {
    HeldLine line = std::move(held.lines.front());
    held.lines.pop_front();
    try {
      write(*line.logger, line.level, line.compose);
    } catch (const std::exception&) {
      // Its caller has returned: nobody is left to report the failure to.
    } catch (const Interrupt&) {
    }
  }
}

}  // namespace

void CaptureLog::error(std::string text, std::exception_ptr failure) {
  line(Level::kError, [text = std::move(text), failure](Logger& logger) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      return text + logger.describe(e);
    }
    return text;  // not reached: the core's guards catch std::exception only
  });
}

void CaptureLog::line(Level level, Compose compose) {
  if (held.depth > 0) {
    held.lines.push_back(HeldLine{logger_, level, std::move(compose)});
    return;
  }
  write(*logger_, level, compose);
}

LogHold::LogHold() noexcept { ++held.depth; }

LogHold::~LogHold() {
  if (--held.depth == 0 && !held.lines.empty()) write_held();
}

bool log_held() { return held.depth > 0; }

}  // namespace corvane::video
