// FrameInfo: what the capture records with each frame it publishes, besides the pixels:
// the number the frame was published with, when, and where in the stream it lies.
//
// It is stored beside the frame and replaced together with it, under the same locks, so
// a reader that takes the frame and its info in one go always gets the info of that
// very frame. A re-open or an assignment of current_frame_number changes the number the
// next frame counts on from, not the info of the frame already published.
#pragma once

#include <chrono>
#include <optional>

#include "number.hpp"

namespace corvane::video {

struct FrameInfo {
  // current_frame_number as the publication left it, of the kind it had there.
  Number number;
  // When the worker (or a seek) published the frame: the steady clock, which is
  // CLOCK_MONOTONIC on Linux.
  std::chrono::steady_clock::time_point published;
  // The source's CAP_PROP_POS_MSEC right after the read that delivered the frame; none
  // when the source reports nothing usable.
  std::optional<double> position_msec;
};

}  // namespace corvane::video
