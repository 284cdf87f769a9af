// The live-or-file rule.
#include "live_rule.hpp"

#include <sys/stat.h>

namespace corvane::video {

namespace {

bool is_regular_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

bool is_live_source(SourceKind kind, const std::string& path, double frame_count) {
  switch (kind) {
    case SourceKind::kLive:
      return true;
    case SourceKind::kFile:
      return false;
    case SourceKind::kByRule:
      break;
  }
  // `!(x > 0)` also counts NaN as "no count".
  return !(frame_count > 0) && !is_regular_file(path);
}

bool opens_as_live(SourceKind kind, const std::string& path) {
  return is_live_source(kind, path, 0);
}

}  // namespace corvane::video
