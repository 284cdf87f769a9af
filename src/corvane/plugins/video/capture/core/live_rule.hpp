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

// The same rule before the source is open, for what must be chosen at opening (the
// decoder's threads): the frame count is not known yet, so every source that is not a
// regular file counts as live. Judging after opening would need a second open of every
// live source, which costs its whole probe time again and, for a UDP stream, the packets
// sent meanwhile. The guess errs only for a file served over a network (a URL of an .mp4),
// which then decodes with one thread: slower to decode, never late.
bool opens_as_live(SourceKind kind, const std::string& path);

}  // namespace corvane::video
