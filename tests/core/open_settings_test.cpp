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

constexpr const char* kVariables[] = {"CORVANE_VIDEO_OPEN_TIMEOUT_MSEC",
                                      "CORVANE_VIDEO_READ_TIMEOUT_MSEC",
                                      "CORVANE_VIDEO_SOURCE_KIND"};

class OpenSettingsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const char* name : kVariables) unsetenv(name);
  }
};

TEST_F(OpenSettingsTest, DefaultsToSecondsAndTheRuleWhenUnsetOrEmpty) {
  setenv("CORVANE_VIDEO_READ_TIMEOUT_MSEC", "", 1);
  const OpenSettings s = OpenSettings::from_environment();
  EXPECT_EQ(s.open_timeout_ms, OpenSettings::kDefaultOpenTimeoutMs);
  EXPECT_EQ(s.read_timeout_ms, OpenSettings::kDefaultReadTimeoutMs);
  EXPECT_LE(s.open_timeout_ms, 10000);
  EXPECT_EQ(s.kind, SourceKind::kByRule);
}

TEST_F(OpenSettingsTest, ReadsEveryVariable) {
  setenv("CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", "1500", 1);
  setenv("CORVANE_VIDEO_READ_TIMEOUT_MSEC", "700", 1);
  setenv("CORVANE_VIDEO_SOURCE_KIND", "file", 1);
  const OpenSettings s = OpenSettings::from_environment();
  EXPECT_EQ(s.open_timeout_ms, 1500);
  EXPECT_EQ(s.read_timeout_ms, 700);
  EXPECT_EQ(s.kind, SourceKind::kFile);
}

class InvalidSetting : public OpenSettingsTest,
                       public ::testing::WithParamInterface<std::pair<const char*, const char*>> {};

TEST_P(InvalidSetting, IsRefusedWithTheVariablesName) {
  const auto [name, value] = GetParam();
  setenv(name, value, 1);
  try {
    OpenSettings::from_environment();
    FAIL() << name << "=" << value << " was accepted";
  } catch (const VideoError& e) {
    EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, InvalidSetting,
    ::testing::Values(std::make_pair("CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", "0"),
                      std::make_pair("CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", "-5"),
                      std::make_pair("CORVANE_VIDEO_READ_TIMEOUT_MSEC", "5s"),
                      std::make_pair("CORVANE_VIDEO_READ_TIMEOUT_MSEC", "99999999999999"),
                      std::make_pair("CORVANE_VIDEO_SOURCE_KIND", "camera")));

// (kind, path, reported frame count) -> live
using RuleCase = std::tuple<SourceKind, std::string, double, bool>;
class LiveRule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(LiveRule, TellsLiveSourcesFromFiles) {
  const auto& [kind, path, frame_count, live] = GetParam();
  EXPECT_EQ(is_live_source(kind, path, frame_count), live) << path << " " << frame_count;
}

const std::string kRegularFile = __FILE__;  // a raw stream file reports no count either

INSTANTIATE_TEST_SUITE_P(
    Cases, LiveRule,
    ::testing::Values(RuleCase{SourceKind::kByRule, "http://127.0.0.1:8080/cam.mjpg", 0, true},
                      RuleCase{SourceKind::kByRule, "udp://127.0.0.1:5000", -9.2e18, true},
                      RuleCase{SourceKind::kByRule, "rtsp://cam/stream", std::nan(""), true},
                      RuleCase{SourceKind::kByRule, "/dev/null", 0, true},  // a device
                      RuleCase{SourceKind::kByRule, "http://host/clip.mp4", 750, false},
                      RuleCase{SourceKind::kByRule, kRegularFile, -1.9e14, false},
                      RuleCase{SourceKind::kLive, kRegularFile, 750, true},
                      RuleCase{SourceKind::kFile, "udp://127.0.0.1:5000", 0, false}));

}  // namespace
}  // namespace corvane::video::testing
