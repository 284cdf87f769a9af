// OpenCvSource: a VideoSource over a native cv::VideoCapture.
//
// Opening follows OpenCV's own order of backends for a string, with one difference:
// FFmpeg gets the open and read timeouts of OpenSettings, so a dead network source is
// noticed in seconds instead of OpenCV's default 30 s, and the decoder's thread count where
// OpenCV takes it (one for a live source by default). The other backends are opened
// without those parameters, since some refuse to open on a parameter they do not know.
//
// Every call into OpenCV, the capture's construction and destruction included, is a
// NativeCall bounded by the timeouts this source was opened with: the open by the open
// timeout, every other call (a read, a seek by `set`, a query) by the read timeout.
#pragma once

#include <opencv2/videoio.hpp>
#include <chrono>
#include <memory>
#include <string>

#include "open_settings.hpp"
#include "video_source.hpp"

namespace corvane::video {

// Frames are decoded into a small pool of buffers: a read reuses a buffer that nobody
// else holds any more (not the published frame, not a copy in progress), so steady-state
// decoding allocates nothing. A buffer still shared is never written again.
class OpenCvSource final : public VideoSource {
 public:
  // Opens `path` with the first backend that accepts it. Throws VideoError when the
  // open settings in the environment are not valid.
  explicit OpenCvSource(const std::string& path);
  ~OpenCvSource() override;
  OpenCvSource(const OpenCvSource&) = delete;
  OpenCvSource& operator=(const OpenCvSource&) = delete;

  bool is_opened() override;
  bool read(Frame& out) override;
  Number get(int property) override;
  bool set(int property, const Number& value) override;
  void release() override;
  bool is_live() const override { return live_; }
  std::optional<double> position_msec() override;

  // The capture itself, for the calls a host offers beyond the ones above. Use it only
  // inside a SourceHandle::Session, like every call on a source, and count each call
  // with a NativeCall of call_bound().
  cv::VideoCapture& native() { return *capture_; }
  // The longest a call other than the open can take: the read timeout it was opened with.
  std::chrono::milliseconds call_bound() const {
    return std::chrono::milliseconds(settings_.read_timeout_ms);
  }

 private:
  void open(const std::string& path, const OpenSettings& settings);

  static constexpr size_t kPoolSize = 4;
  cv::Mat& free_buffer();

  template <typename F>
  auto counted(F&& f) -> decltype(f());
  void destroy_capture() noexcept;

  const OpenSettings settings_;  // as read from the environment at the open
  std::unique_ptr<cv::VideoCapture> capture_;  // made, and destroyed, as a counted call
  cv::Mat pool_[kPoolSize];
  bool live_ = false;  // decided once the source is open, never changed
};

}  // namespace corvane::video
