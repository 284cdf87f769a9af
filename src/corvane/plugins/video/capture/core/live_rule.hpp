// The rule that tells a live source (a camera, a network stream) from a file.
//
// A live source delivers frames at its own pace, so the worker reads it back to back; a
// file is played at its reported rate. Only native sources are judged: a source that
// forwards to a host object always plays as a file.
#pragma once

#include <string>

#include "open_settings.hpp"

namespace corvane::video {

// Live: the source reports no positive frame count and `path` is not a regular file
// (network URLs, capture devices, pipelines). A raw elementary stream such as a .h264 or
// .mjpeg file also reports no count, but is a regular file and so plays as a file.
// `kind` forces the answer either way unless it is kByRule.
bool is_live_source(SourceKind kind, const std::string& path, double frame_count);

}  // namespace corvane::video
