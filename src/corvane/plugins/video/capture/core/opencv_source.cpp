// OpenCvSource: forwards to cv::VideoCapture, turning OpenCV exceptions into VideoError.
#include "opencv_source.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <opencv2/core/version.hpp>
#include <opencv2/videoio/registry.hpp>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "live_rule.hpp"
#include "native_calls.hpp"
#include "open_settings.hpp"

namespace corvane::video {

namespace {

// Every call into OpenCV goes through here: counted for process exit with the longest it
// can take (native_calls.hpp), with OpenCV's exceptions turned into VideoError.
template <typename F>
auto guarded(std::chrono::milliseconds bound, F&& f) -> decltype(f()) {
  NativeCall counted(bound);
  try {
    return f();
  } catch (const cv::Exception& e) {
    throw VideoError(e.what());
  }
}

}  // namespace

template <typename F>
auto OpenCvSource::counted(F&& f) -> decltype(f()) {
  return guarded(call_bound(), std::forward<F>(f));
}

OpenCvSource::OpenCvSource(const std::string& path)
    : settings_(OpenSettings::from_environment()) {
  try {
    guarded(std::chrono::milliseconds(settings_.open_timeout_ms), [&] {
      capture_ = std::make_unique<cv::VideoCapture>();
      open(path, settings_);
      return 0;
    });
    if (counted([&] { return capture_->isOpened(); })) {
      live_ = is_live_source(settings_.kind, path,
                             counted([&] { return capture_->get(cv::CAP_PROP_FRAME_COUNT); }));
    }
  } catch (...) {
    destroy_capture();  // no destructor runs for a constructor that throws
    throw;
  }
}

OpenCvSource::~OpenCvSource() { destroy_capture(); }

void OpenCvSource::destroy_capture() noexcept {
  // The pool's buffers go too: OpenCV's allocator frees them.
  NativeCall destroying(call_bound());
  capture_.reset();
  for (cv::Mat& buffer : pool_) buffer.release();
}

// CAP_PROP_N_THREADS, an open parameter of OpenCV 4.7 and later, sets the FFmpeg decoder's
// thread count. Older versions open every decoder with one thread per CPU core.
#if CV_VERSION_MAJOR > 4 || (CV_VERSION_MAJOR == 4 && CV_VERSION_MINOR >= 7)
#define CORVANE_HAS_DECODER_THREADS 1
#else
#define CORVANE_HAS_DECODER_THREADS 0
#endif

void OpenCvSource::open(const std::string& path, const OpenSettings& settings) {
  std::vector<int> params = {cv::CAP_PROP_OPEN_TIMEOUT_MSEC, settings.open_timeout_ms,
                             cv::CAP_PROP_READ_TIMEOUT_MSEC, settings.read_timeout_ms};
#if CORVANE_HAS_DECODER_THREADS
  if (const auto threads = settings.decoder_threads_for(opens_as_live(settings.kind, path))) {
    params.insert(params.end(), {cv::CAP_PROP_N_THREADS, *threads});
  }
#endif
  // The same backends, in the same order (OPENCV_VIDEOIO_PRIORITY_LIST included), as an
  // open with cv::CAP_ANY would try.
  for (const cv::VideoCaptureAPIs api : cv::videoio_registry::getStreamBackends()) {
    const bool opened = api == cv::CAP_FFMPEG ? capture_->open(path, api, params)
                                              : capture_->open(path, api);
    if (opened) return;
  }
}

bool OpenCvSource::is_opened() {
  return counted([&] { return capture_->isOpened(); });
}

cv::Mat& OpenCvSource::free_buffer() {
  for (cv::Mat& buffer : pool_) {
    // Only the pool refers to it: no reader, no published frame. Nobody else can take a
    // new reference to it, so the count cannot rise behind this check.
    if (buffer.u == nullptr || __atomic_load_n(&buffer.u->refcount, __ATOMIC_ACQUIRE) == 1) {
      return buffer;
    }
  }
  // Every buffer is in use (readers hold copies for long): let the oldest go to its
  // holders and decode into a new one.
  std::rotate(std::begin(pool_), std::begin(pool_) + 1, std::end(pool_));
  pool_[kPoolSize - 1].release();
  return pool_[kPoolSize - 1];
}

bool OpenCvSource::read(Frame& out) {
  cv::Mat& buffer = free_buffer();
  // grab and retrieve rather than read: read reports a frame whenever the matrix is not
  // empty afterwards, and a pooled buffer still holds an earlier frame when a retrieve
  // fails. Only a retrieve that succeeded produced this read's frame.
  const bool ok = counted([&] {
    return capture_->grab() && capture_->retrieve(buffer) && !buffer.empty();
  });
  if (ok) {
    out.image = buffer;  // shares the pixels; the pool keeps its reference
    out.foreign.reset();
  }
  return ok;
}

Number OpenCvSource::get(int property) {
  return Number::real(counted([&] { return capture_->get(property); }));
}

bool OpenCvSource::set(int property, const Number& value) {
  return counted([&] { return capture_->set(property, value.to_double()); });
}

std::optional<double> OpenCvSource::position_msec() {
  // A backend that cannot tell says so with a negative or non-finite value (or throws);
  // a frame that was read is no less good for it.
  double msec;
  try {
    msec = counted([&] { return capture_->get(cv::CAP_PROP_POS_MSEC); });
  } catch (const VideoError&) {
    return std::nullopt;
  }
  if (!std::isfinite(msec) || msec < 0) return std::nullopt;
  return msec;
}

void OpenCvSource::release() {
  counted([&] {
    capture_->release();
    return 0;
  });
}

}  // namespace corvane::video
