// Frame: one decoded picture as a source delivered it.
//
// A native source fills `image` (a reference-counted cv::Mat; sharing it copies no
// pixels). A host-language source delivers an object of its own, which the core keeps
// alive through `foreign` without looking into it; the host side knows how to copy it.
// Whether a frame is present is decided by the holder (an optional slot), never by the
// picture's contents.
#pragma once

#include <memory>
#include <opencv2/core/mat.hpp>

namespace corvane::video {

struct Frame {
  cv::Mat image;
  std::shared_ptr<const void> foreign;
};

}  // namespace corvane::video
