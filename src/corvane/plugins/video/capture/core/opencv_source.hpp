// OpenCvSource: a VideoSource over a native cv::VideoCapture.
#pragma once

#include <string>

#include <opencv2/videoio.hpp>

#include "video_source.hpp"

namespace corvane::video {

class OpenCvSource final : public VideoSource {
 public:
  // Opens `path` with any backend, as cv::VideoCapture's string constructor does.
  explicit OpenCvSource(const std::string& path);

  bool is_opened() override;
  bool read(Frame& out) override;
  Number get(int property) override;
  bool set(int property, const Number& value) override;
  void release() override;

 private:
  cv::VideoCapture capture_;
};

}  // namespace corvane::video
