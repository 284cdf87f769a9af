// OpenSettings: parsing of the open settings' environment variables.
#include "open_settings.hpp"

#include <cerrno>
#include <cstdlib>
#include <string>

#include "errors.hpp"

namespace corvane::video {

namespace {

const char* setting(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

int milliseconds(const char* name, int fallback) {
  const char* text = setting(name);
  if (!text) return fallback;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  // Zero would not mean "no timeout" to every backend, so only positive values pass.
  if (errno != 0 || end == text || *end != '\0' || value <= 0 || value > 24L * 3600 * 1000) {
    throw VideoError(std::string(name) + " must be a positive whole number of milliseconds, not '" +
                     text + "'");
  }
  return static_cast<int>(value);
}

SourceKind source_kind(const char* name) {
  const char* text = setting(name);
  if (!text) return SourceKind::kByRule;
  const std::string value(text);
  if (value == "auto") return SourceKind::kByRule;
  if (value == "live") return SourceKind::kLive;
  if (value == "file") return SourceKind::kFile;
  throw VideoError(std::string(name) + " must be 'live', 'file' or 'auto', not '" + value + "'");
}

}  // namespace

OpenSettings OpenSettings::from_environment() {
  OpenSettings s;
  s.open_timeout_ms = milliseconds("CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", kDefaultOpenTimeoutMs);
  s.read_timeout_ms = milliseconds("CORVANE_VIDEO_READ_TIMEOUT_MSEC", kDefaultReadTimeoutMs);
  s.kind = source_kind("CORVANE_VIDEO_SOURCE_KIND");
  return s;
}

}  // namespace corvane::video
