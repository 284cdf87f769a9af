// Reads every frame of a clip as fast as cv::VideoCapture can, and prints the count and
// the time between the first and the last frame: the decoder's own limit, against which
// the capture's throughput is measured.
#include <chrono>
#include <cstdio>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CLIP\n", argv[0]);
    return 2;
  }
  cv::VideoCapture capture(argv[1]);
  if (!capture.isOpened()) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  cv::Mat frame;
  long frames = 0;
  std::chrono::steady_clock::time_point first;
  std::chrono::steady_clock::time_point last;
  while (capture.read(frame)) {
    last = std::chrono::steady_clock::now();
    if (frames++ == 0) first = last;
  }
  std::printf("{\"frames\": %ld, \"seconds\": %.6f}\n", frames,
              std::chrono::duration<double>(last - first).count());
  return 0;
}
