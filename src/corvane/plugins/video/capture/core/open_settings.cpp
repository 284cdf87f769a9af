// OpenSettings: parsing of the open settings' environment variables.
#include "open_settings.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "errors.hpp"

namespace corvane::video {

namespace {

// A variable's value as set ("" when unset), and the same without the blanks around it.
// Blanks on either side are ignored alike (`VAR=" 100"` and `VAR="100 "` both mean 100), so
// a value of blanks only counts as empty: the default.
struct Setting {
  std::string raw;
  std::string value;
};

Setting setting(const char* name) {
  const char* found = std::getenv(name);
  const std::string text = found ? found : "";
  const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  const auto first = std::find_if_not(text.begin(), text.end(), blank);
  const auto last = std::find_if_not(text.rbegin(), text.rend(), blank).base();
  return {text, first < last ? std::string(first, last) : std::string()};
}

// One day: longer than any open or read should take, and within an int for OpenCV.
constexpr long kLongestTimeoutMs = 24L * 3600 * 1000;

// The value of `name` as a whole number from `least` to `most`, `fallback` when unset.
// `accepts` completes the refusal: "NAME must be a whole number of <accepts>, not 'value'".
int whole_number(const char* name, long least, long most, int fallback,
                 const std::string& accepts) {
  const Setting given = setting(name);
  const std::string& text = given.value;
  if (text.empty()) return fallback;
  char* end = nullptr;
  errno = 0;
  // strtol also takes a leading '+' ("+100" is a positive whole number); blanks are gone.
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value < least || value > most) {
    throw VideoError(std::string(name) + " must be a whole number of " + accepts + ", not '" +
                     given.raw + "'");
  }
  return static_cast<int>(value);
}

// Zero would not mean "no timeout" to every backend, so only positive values pass.
int milliseconds(const char* name, int fallback) {
  return whole_number(name, 1, kLongestTimeoutMs, fallback,
                      "milliseconds from 1 to " + std::to_string(kLongestTimeoutMs) +
                          " (one day)");
}

SourceKind source_kind(const char* name) {
  const Setting given = setting(name);
  const std::string& value = given.value;
  if (value.empty()) return SourceKind::kByRule;
  if (value == "auto") return SourceKind::kByRule;
  if (value == "live") return SourceKind::kLive;
  if (value == "file") return SourceKind::kFile;
  throw VideoError(std::string(name) + " must be 'live', 'file' or 'auto', not '" + given.raw +
                   "'");
}

}  // namespace

OpenSettings OpenSettings::from_environment() {
  OpenSettings s;
  s.open_timeout_ms = milliseconds("CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", kDefaultOpenTimeoutMs);
  s.read_timeout_ms = milliseconds("CORVANE_VIDEO_READ_TIMEOUT_MSEC", kDefaultReadTimeoutMs);
  s.kind = source_kind("CORVANE_VIDEO_SOURCE_KIND");
  s.decoder_threads =
      whole_number("CORVANE_VIDEO_DECODER_THREADS", 0, kMostDecoderThreads,
                   kDecoderThreadsByKind,
                   "threads from 0 to " + std::to_string(kMostDecoderThreads) +
                       " (0: OpenCV's default)");
  return s;
}

std::optional<int> OpenSettings::decoder_threads_for(bool live) const {
  if (decoder_threads == kDecoderThreadsByKind) return live ? std::optional<int>(1) : std::nullopt;
  if (decoder_threads == 0) return std::nullopt;
  return decoder_threads;
}

}  // namespace corvane::video
