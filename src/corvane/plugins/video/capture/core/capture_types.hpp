// The host interfaces a Capture works through (opening sources, running worker threads)
// and the plain values it reports (the source's properties, publication timings).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "number.hpp"
#include "source_handle.hpp"

namespace corvane::video {

// Opens the source for a path; the host decides which kind of source that is.
class SourceOpener {
 public:
  virtual ~SourceOpener() = default;
  // Throws VideoError (or an Interrupt) when the source object cannot be created, and
  // returns null when the host's factory gave no object. An unopened source is returned.
  virtual std::shared_ptr<SourceHandle> open(const std::string& path) = 0;
};

// Runs worker threads for a capture; the host decides what a thread is.
class WorkerThreads {
 public:
  virtual ~WorkerThreads() = default;
  // Starts a thread that calls Capture::run_loop(run). Throws when that fails.
  virtual void launch(std::uint64_t run) = 0;
  // Waits at most `timeout` for the most recently launched worker to end. Returns at
  // once when called on that worker itself (a thread cannot wait for itself).
  virtual void join(std::chrono::duration<double> timeout) = 0;
};

// What the latest successful start read from the source.
struct VideoProperties {
  Number frame_count;  // integers of any size, as the source's report truncates
  Number fps;  // integer 0 until a start stores the reported rate
  Number width;
  Number height;
  Number duration;  // integer 0 unless the reported rate was positive
};

// When one publication's read began and ended and when the frame was published, on
// the steady clock. Kept for the most recent publications, for measurements.
struct PublicationTiming {
  std::chrono::steady_clock::time_point read_started;
  std::chrono::steady_clock::time_point read_finished;
  std::chrono::steady_clock::time_point published;
};

}  // namespace corvane::video
