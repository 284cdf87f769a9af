// Capture: construction, frame access and the state every thread reads and writes.
#include <utility>

#include "capture.hpp"
#include "errors.hpp"

namespace corvane::video {

Capture::Capture(std::string video_path, bool auto_reload, std::shared_ptr<SourceOpener> opener,
                 std::shared_ptr<Logger> logger)
    : opener_(std::move(opener)),
      logger_(std::move(logger)),
      log_(logger_),
      video_path_(std::move(video_path)) {
  set_auto_reload(auto_reload);
}

bool Capture::auto_reload() const {
  std::shared_ptr<const Truth> truth;
  {
    std::lock_guard<std::mutex> g(state_mutex_);
    truth = auto_reload_;
  }
  return (*truth)();
}

void Capture::set_auto_reload(bool v) {
  set_auto_reload([v] { return v; });
}

void Capture::set_auto_reload(Truth truth) {
  auto next = std::make_shared<const Truth>(std::move(truth));
  {
    std::lock_guard<std::mutex> g(state_mutex_);
    std::swap(auto_reload_, next);
  }
  // The test replaced (now in `next`) may hold a host value: dropped outside the mutex.
}

bool Capture::await_new_frame(std::chrono::duration<double> timeout,
                              Interruption* interruption) {
  // While this thread holds the lock the worker cannot publish: only what has come
  // already counts.
  if (lock_.held_by_this_thread()) timeout = timeout.zero();
  return frame_ready_.wait_for(timeout, interruption);
}

void Capture::wait_for_new_frame(std::chrono::duration<double> timeout,
                                 Interruption* interruption) {
  if (await_new_frame(timeout, interruption)) frame_ready_.clear();
}

std::vector<PublicationTiming> Capture::recent_publications() const {
  std::lock_guard<std::mutex> g(state_mutex_);
  if (timings_.size() < kTimingHistory) return timings_;
  std::vector<PublicationTiming> ordered(
      timings_.begin() + static_cast<std::ptrdiff_t>(timings_next_), timings_.end());
  ordered.insert(ordered.end(), timings_.begin(),
                 timings_.begin() + static_cast<std::ptrdiff_t>(timings_next_));
  return ordered;
}

VideoProperties Capture::properties() const {
  std::lock_guard<std::mutex> g(state_mutex_);
  return properties_;
}

void Capture::set_properties(const VideoProperties& p) {
  std::lock_guard<std::mutex> g(state_mutex_);
  properties_ = p;
}

std::string Capture::video_path() const {
  std::lock_guard<std::mutex> g(state_mutex_);
  return video_path_;
}

void Capture::set_video_path(std::string path) {
  std::lock_guard<std::mutex> g(state_mutex_);
  video_path_ = std::move(path);
}

Number Capture::current_frame_number() const {
  std::lock_guard<std::mutex> g(state_mutex_);
  return current_frame_number_;
}

void Capture::set_current_frame_number(Number n) {
  {
    std::lock_guard<std::mutex> g(state_mutex_);
    std::swap(current_frame_number_, n);
  }
  // The value replaced (now in `n`) is dropped outside the mutex: a host's number may
  // need the host.
}

std::optional<Frame> Capture::frame() const {
  std::lock_guard<std::mutex> g(state_mutex_);
  return frame_;
}

void Capture::set_frame(std::optional<Frame> frame) {
  FrameInfo info;
  {
    std::lock_guard<std::mutex> g(state_mutex_);
    std::swap(frame_, frame);
    info = std::exchange(frame_info_,
                         FrameInfo{current_frame_number_, std::chrono::steady_clock::now(), {}});
  }
  // The previous frame and its info (now in `frame` and `info`) are dropped outside the
  // mutex.
}

std::shared_ptr<SourceHandle> Capture::require_source(const char* method) const {
  return require_source(source(), method);
}

std::shared_ptr<SourceHandle> Capture::require_source(std::shared_ptr<SourceHandle> src,
                                                      const char* method) {
  if (!src) throw MissingSource(method);
  return src;
}

bool Capture::source_is_live() const {
  const auto src = source();
  return src && src->is_live();
}

std::shared_ptr<SourceHandle> Capture::source() const {
  std::lock_guard<std::mutex> g(source_mutex_);
  return source_;
}

void Capture::set_source(std::shared_ptr<SourceHandle> source) {
  replace_source(std::move(source));
  // The previous handle is dropped here, outside the mutex.
}

std::shared_ptr<SourceHandle> Capture::replace_source(std::shared_ptr<SourceHandle> source) {
  std::lock_guard<std::mutex> g(source_mutex_);
  std::swap(source_, source);
  return source;
}

}  // namespace corvane::video
