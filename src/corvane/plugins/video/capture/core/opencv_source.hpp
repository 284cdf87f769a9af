// OpenCvSource: a VideoSource over a native cv::VideoCapture.
#pragma once

#include <opencv2/videoio.hpp>
#include <string>

#include "video_source.hpp"

namespace corvane::video {

// Frames are decoded into a small pool of buffers: a read reuses a buffer that nobody
// else holds any more (not the published frame, not a copy in progress), so steady-state
// decoding allocates nothing. A buffer still shared is never written again.
class OpenCvSource final : public VideoSource {
 public:
  // Opens `path` with any backend, as cv::VideoCapture's string constructor does.
  explicit OpenCvSource(const std::string& path);

  bool is_opened() override;
  bool read(Frame& out) override;
  Number get(int property) override;
  bool set(int property, const Number& value) override;
  void release() override;

  // The capture itself, for the calls a host offers beyond the ones above. Use it only
  // inside a SourceHandle::Session, like every call on a source.
  cv::VideoCapture& native() { return capture_; }

 private:
  static constexpr size_t kPoolSize = 4;
  cv::Mat& free_buffer();

  cv::VideoCapture capture_;
  cv::Mat pool_[kPoolSize];
};

}  // namespace corvane::video
