// OpenSettings: how native sources are opened, read from the environment at each open.
//
// The variables are read every time a source opens (start and every re-open), like
// OpenCV's own OPENCV_FFMPEG_CAPTURE_OPTIONS, so a change in the process's environment
// applies to the next open:
//   CORVANE_VIDEO_OPEN_TIMEOUT_MSEC  how long opening may take, in milliseconds;
//   CORVANE_VIDEO_READ_TIMEOUT_MSEC  how long one read may wait for data, in milliseconds;
//   CORVANE_VIDEO_SOURCE_KIND        "live", "file", or "auto" (the rule in live_rule.hpp);
//   CORVANE_VIDEO_DECODER_THREADS    how many threads the decoder runs, 0 for OpenCV's default.
// Blanks around a value are ignored; unset or empty means the default. The timeouts take
// 1 to 86400000 (one day), the decoder threads 0 to 64. Any other value is refused with a
// VideoError that names the variable and what it accepts, so a mistyped setting fails the
// open loudly instead of being ignored.
#pragma once

#include <optional>

namespace corvane::video {

enum class SourceKind { kByRule, kLive, kFile };

struct OpenSettings {
  // A live reader should notice a dead sender in seconds. Opening is given more time than
  // a read because FFmpeg probes a stream (up to about 5 s of it for RTMP) while opening.
  static constexpr int kDefaultOpenTimeoutMs = 10000;
  static constexpr int kDefaultReadTimeoutMs = 5000;

  int open_timeout_ms = kDefaultOpenTimeoutMs;
  int read_timeout_ms = kDefaultReadTimeoutMs;
  SourceKind kind = SourceKind::kByRule;

  // Unset, the decoder's threads follow the source's kind: FFmpeg's frame threads hold back
  // (threads - 1) decoded frames, which a live source must not wait for, while a file gains
  // throughput from them. 0 leaves the count to OpenCV (one per CPU core); n asks for n.
  static constexpr int kDecoderThreadsByKind = -1;
  static constexpr int kMostDecoderThreads = 64;  // more than a decoder gains from
  int decoder_threads = kDecoderThreadsByKind;

  // The thread count to ask the decoder for, or nothing to keep OpenCV's default: one
  // thread for a live source unless the setting says otherwise.
  std::optional<int> decoder_threads_for(bool live) const;

  // Throws VideoError for a value that is set but not valid.
  static OpenSettings from_environment();
};

}  // namespace corvane::video
