// How native sources are opened: the environment's settings and the live-or-file rule.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <tuple>

#include "core/errors.hpp"
#include "core/live_rule.hpp"
#include "core/open_settings.hpp"

namespace corvane::video::testing {
namespace {

// (variable, value, "open read kind" read back, or "" when the value is refused); every
// case starts from an environment without the variables.
using SettingCase = std::tuple<const char*, const char*, const char*>;
class OpenSettingsTest : public ::testing::TestWithParam<SettingCase> {
 protected:
  void TearDown() override {
    for (const char* name : {"CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", "CORVANE_VIDEO_READ_TIMEOUT_MSEC",
                             "CORVANE_VIDEO_SOURCE_KIND"}) {
      unsetenv(name);
    }
  }
};

TEST_P(OpenSettingsTest, ReadsValidValuesAndRefusesOthersByName) {
  const auto [name, value, expected] = GetParam();
  setenv(name, value, 1);
  try {
    const OpenSettings s = OpenSettings::from_environment();
    EXPECT_EQ(std::to_string(s.open_timeout_ms) + " " + std::to_string(s.read_timeout_ms) + " " +
                  std::to_string(static_cast<int>(s.kind)),
              expected);
  } catch (const VideoError& e) {
    EXPECT_STREQ(expected, "") << e.what();
    const std::string message = e.what();
    EXPECT_NE(message.find(name), std::string::npos) << message;
    // A refused timeout says which values it takes.
    if (std::string(name).find("TIMEOUT") != std::string::npos) {
      EXPECT_NE(message.find("from 1 to 86400000"), std::string::npos) << message;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, OpenSettingsTest,
    ::testing::Values(SettingCase{"CORVANE_VIDEO_READ_TIMEOUT_MSEC", "", "10000 5000 0"},
                      SettingCase{"CORVANE_VIDEO_READ_TIMEOUT_MSEC", "700", "10000 700 0"},
                      SettingCase{"CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", "1500", "1500 5000 0"},
                      SettingCase{"CORVANE_VIDEO_SOURCE_KIND", "file", "10000 5000 2"},
                      SettingCase{"CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", "0", ""},
                      // Blanks on either side are ignored alike; blanks only mean unset.
                      SettingCase{"CORVANE_VIDEO_READ_TIMEOUT_MSEC", " 100", "10000 100 0"},
                      SettingCase{"CORVANE_VIDEO_READ_TIMEOUT_MSEC", "100 \t", "10000 100 0"},
                      SettingCase{"CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", "+100", "100 5000 0"},
                      SettingCase{"CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", "  ", "10000 5000 0"},
                      SettingCase{"CORVANE_VIDEO_SOURCE_KIND", " live ", "10000 5000 1"},
                      SettingCase{"CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", "86400000", "86400000 5000 0"},
                      SettingCase{"CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", "86400001", ""},
                      SettingCase{"CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", "-100", ""},
                      SettingCase{"CORVANE_VIDEO_READ_TIMEOUT_MSEC", "1 00", ""},
                      SettingCase{"CORVANE_VIDEO_READ_TIMEOUT_MSEC", "5s", ""},
                      SettingCase{"CORVANE_VIDEO_READ_TIMEOUT_MSEC", "99999999999999", ""},
                      SettingCase{"CORVANE_VIDEO_SOURCE_KIND", "camera", ""}));

// (kind, path, reported frame count, live)
using RuleCase = std::tuple<SourceKind, std::string, double, bool>;
class LiveRule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(LiveRule, TellsLiveSourcesFromFiles) {
  const auto& [kind, path, frame_count, live] = GetParam();
  EXPECT_EQ(is_live_source(kind, path, frame_count), live) << path << " " << frame_count;
}

const std::string kRegularFile = __FILE__;  // like a raw .h264 file, which reports no count

INSTANTIATE_TEST_SUITE_P(
    Cases, LiveRule,
    ::testing::Values(RuleCase{SourceKind::kByRule, "udp://127.0.0.1:5000", -9.2e18, true},
                      RuleCase{SourceKind::kByRule, "rtsp://cam/stream", std::nan(""), true},
                      RuleCase{SourceKind::kByRule, "/dev/null", 0, true},  // a device
                      RuleCase{SourceKind::kByRule, "http://host/clip.mp4", 750, false},
                      RuleCase{SourceKind::kByRule, kRegularFile, -1.9e14, false},
                      RuleCase{SourceKind::kLive, kRegularFile, 750, true},
                      RuleCase{SourceKind::kFile, "udp://127.0.0.1:5000", 0, false}));

}  // namespace
}  // namespace corvane::video::testing
