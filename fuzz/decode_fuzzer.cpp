// A libFuzzer target over the capture's decoding path with the bundled decoder: the bytes are
// a clip in any container, opened as the capture opens a source (OpenCvSource: every backend
// in OpenCV's order), read frame by frame into the capture's frame pool, each frame copied as
// get_frame copies it, the previous publication replaced as the worker replaces it, and one
// seek part-way, as seek does. Built with AddressSanitizer and UBSan (make fuzz).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>
#include <string>

#include "core/errors.hpp"
#include "core/frame.hpp"
#include "core/opencv_source.hpp"

namespace video = corvane::video;

namespace {

constexpr int kMostReads = 48;  // enough to cross a change of stream parameters
constexpr int kSeekAfter = 5;

// A frame the capture would publish must be a whole, well-formed picture: a stale or torn
// matrix shows as a wrong shape here, and reading every byte (the copy) lets the sanitizer see
// a buffer smaller than the matrix claims.
void check_frame(const cv::Mat& image) {
  if (image.empty() || image.dims != 2 || image.depth() != CV_8U ||
      (image.channels() != 1 && image.channels() != 3 && image.channels() != 4)) {
    std::abort();
  }
}

// The bytes as a file OpenCV and FFmpeg open by name, without touching the disk.
class MemoryFile {
 public:
  MemoryFile(const uint8_t* data, size_t size) : fd_(memfd_create("clip", MFD_CLOEXEC)) {
    for (size_t done = 0; fd_ >= 0 && done < size;) {
      const ssize_t n = write(fd_, data + done, size - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
  }
  ~MemoryFile() {
    if (fd_ >= 0) close(fd_);
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  bool ok() const { return fd_ >= 0; }
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // One decoder thread: the same bytes decode the same way every time, which the fuzzer's
  // coverage feedback needs. Short timeouts: a clip is a file, nothing waits on a network.
  setenv("CORVANE_VIDEO_DECODER_THREADS", "1", 1);
  setenv("CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", "2000", 1);
  setenv("CORVANE_VIDEO_READ_TIMEOUT_MSEC", "2000", 1);
  setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 1);  // AV_LOG_QUIET: hostile input is noisy
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryFile file(data, size);
  if (!file.ok()) return 0;
  try {
    video::OpenCvSource source(file.path());
    if (!source.is_opened()) return 0;
    source.get(cv::CAP_PROP_FRAME_COUNT);
    source.get(cv::CAP_PROP_FPS);
    video::Frame published;
    for (int n = 0; n < kMostReads; ++n) {
      video::Frame frame;
      if (!source.read(frame)) break;
      check_frame(frame.image);
      cv::Mat copy = frame.image.clone();
      published = std::move(frame);
      source.position_msec();
      if (n == kSeekAfter) source.set(cv::CAP_PROP_POS_FRAMES, video::Number::integer(1));
    }
    source.release();
  } catch (const video::VideoError&) {
    // An ordinary failure, as the capture logs it.
  }
  return 0;
}
