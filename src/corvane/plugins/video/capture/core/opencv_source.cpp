// OpenCvSource: forwards to cv::VideoCapture, turning OpenCV exceptions into VideoError.
#include "opencv_source.hpp"

#include "errors.hpp"

namespace corvane::video {

namespace {

template <typename F>
auto guarded(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const cv::Exception& e) {
    throw VideoError(e.what());
  }
}

}  // namespace

OpenCvSource::OpenCvSource(const std::string& path) {
  guarded([&] { return capture_.open(path); });
}

bool OpenCvSource::is_opened() { return capture_.isOpened(); }

bool OpenCvSource::read(Frame& out) {
  // A fresh Mat per frame: the previous one may still be held by readers.
  cv::Mat image;
  const bool ok = guarded([&] { return capture_.read(image); });
  if (ok) {
    out.image = std::move(image);
    out.foreign.reset();
  }
  return ok;
}

Number OpenCvSource::get(int property) {
  return Number::real(guarded([&] { return capture_.get(property); }));
}

bool OpenCvSource::set(int property, const Number& value) {
  return guarded([&] { return capture_.set(property, value.to_double()); });
}

void OpenCvSource::release() {
  guarded([&] {
    capture_.release();
    return 0;
  });
}

}  // namespace corvane::video
