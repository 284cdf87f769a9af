// How native sources are opened: the environment's settings and the live-or-file rule.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>

#include <dirent.h>

#include <opencv2/core/version.hpp>
#include <opencv2/videoio.hpp>

#include "core/errors.hpp"
#include "core/live_rule.hpp"
#include "core/open_settings.hpp"
#include "core/opencv_source.hpp"
#include "core/frame.hpp"

namespace corvane::video::testing {
namespace {

// (variable, value, "open read kind threads" read back, or "" when the value is refused);
// every case starts from an environment without the variables.
using SettingCase = std::tuple<const char*, const char*, const char*>;
class OpenSettingsTest : public ::testing::TestWithParam<SettingCase> {
 protected:
  void TearDown() override {
    for (const char* name : {"CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", "CORVANE_VIDEO_READ_TIMEOUT_MSEC",
                             "CORVANE_VIDEO_SOURCE_KIND", "CORVANE_VIDEO_DECODER_THREADS"}) {
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
                  std::to_string(static_cast<int>(s.kind)) + " " +
                  std::to_string(s.decoder_threads),
              expected);
  } catch (const VideoError& e) {
    EXPECT_STREQ(expected, "") << e.what();
    const std::string message = e.what();
    EXPECT_NE(message.find(name), std::string::npos) << message;
    // A refused timeout says which values it takes.
    if (std::string(name).find("TIMEOUT") != std::string::npos) {
      EXPECT_NE(message.find("from 1 to 86400000"), std::string::npos) << message;
    }
    if (std::string(name).find("THREADS") != std::string::npos) {
      EXPECT_NE(message.find("from 0 to 64"), std::string::npos) << message;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, OpenSettingsTest,
    ::testing::Values(SettingCase{"CORVANE_VIDEO_READ_TIMEOUT_MSEC", "", "10000 5000 0 -1"},
                      SettingCase{"CORVANE_VIDEO_READ_TIMEOUT_MSEC", "700", "10000 700 0 -1"},
                      SettingCase{"CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", "1500", "1500 5000 0 -1"},
                      SettingCase{"CORVANE_VIDEO_SOURCE_KIND", "file", "10000 5000 2 -1"},
                      SettingCase{"CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", "0", ""},
                      // Blanks on either side are ignored alike; blanks only mean unset.
                      SettingCase{"CORVANE_VIDEO_READ_TIMEOUT_MSEC", " 100", "10000 100 0 -1"},
                      SettingCase{"CORVANE_VIDEO_READ_TIMEOUT_MSEC", "100 \t", "10000 100 0 -1"},
                      SettingCase{"CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", "+100", "100 5000 0 -1"},
                      SettingCase{"CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", "  ", "10000 5000 0 -1"},
                      SettingCase{"CORVANE_VIDEO_SOURCE_KIND", " live ", "10000 5000 1 -1"},
                      SettingCase{"CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", "86400000",
                                  "86400000 5000 0 -1"},
                      SettingCase{"CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", "86400001", ""},
                      SettingCase{"CORVANE_VIDEO_OPEN_TIMEOUT_MSEC", "-100", ""},
                      SettingCase{"CORVANE_VIDEO_READ_TIMEOUT_MSEC", "1 00", ""},
                      SettingCase{"CORVANE_VIDEO_READ_TIMEOUT_MSEC", "5s", ""},
                      SettingCase{"CORVANE_VIDEO_READ_TIMEOUT_MSEC", "99999999999999", ""},
                      SettingCase{"CORVANE_VIDEO_SOURCE_KIND", "camera", ""},
                      SettingCase{"CORVANE_VIDEO_DECODER_THREADS", "", "10000 5000 0 -1"},
                      SettingCase{"CORVANE_VIDEO_DECODER_THREADS", " 0 ", "10000 5000 0 0"},
                      SettingCase{"CORVANE_VIDEO_DECODER_THREADS", "64", "10000 5000 0 64"},
                      SettingCase{"CORVANE_VIDEO_DECODER_THREADS", "65", ""},
                      SettingCase{"CORVANE_VIDEO_DECODER_THREADS", "-1", ""},
                      SettingCase{"CORVANE_VIDEO_DECODER_THREADS", "auto", ""}));

// (setting, judged live before opening, threads asked of the decoder or -1 for OpenCV's
// default): a live source decodes with one thread unless the setting says otherwise.
using ThreadsCase = std::tuple<const char*, bool, int>;
class DecoderThreads : public ::testing::TestWithParam<ThreadsCase> {
 protected:
  void TearDown() override { unsetenv("CORVANE_VIDEO_DECODER_THREADS"); }
};

TEST_P(DecoderThreads, FollowTheSourceKindUnlessSet) {
  const auto [value, live, expected] = GetParam();
  setenv("CORVANE_VIDEO_DECODER_THREADS", value, 1);
  EXPECT_EQ(OpenSettings::from_environment().decoder_threads_for(live).value_or(-1), expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, DecoderThreads,
                         ::testing::Values(ThreadsCase{"", true, 1}, ThreadsCase{"", false, -1},
                                           ThreadsCase{"0", true, -1}, ThreadsCase{"0", false, -1},
                                           ThreadsCase{"3", true, 3}, ThreadsCase{"3", false, 3}));

// (kind, path, reported frame count, live)
using RuleCase = std::tuple<SourceKind, std::string, double, bool>;
class LiveRule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(LiveRule, TellsLiveSourcesFromFiles) {
  const auto& [kind, path, frame_count, live] = GetParam();
  EXPECT_EQ(is_live_source(kind, path, frame_count), live) << path << " " << frame_count;
  // Before opening, only a URL of a file with a frame count is judged otherwise (as live).
  const bool network_file = kind == SourceKind::kByRule && path.find("://") != std::string::npos &&
                            frame_count > 0;
  EXPECT_EQ(opens_as_live(kind, path), live || network_file) << path;
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

#if CV_VERSION_MAJOR > 4 || (CV_VERSION_MAJOR == 4 && CV_VERSION_MINOR >= 7)
#define CORVANE_TEST_DECODER_THREADS 1
// The threads of this process, counted in /proc/self/task.
int process_threads() {
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

// Threads that opening `path` and decoding a frame of it add to the process.
int threads_of_open(const std::string& path) {
  const int before = process_threads();
  OpenCvSource source(path);
  Frame frame;
  if (!source.read(frame)) return -1;
  return process_threads() - before;
}
#endif

// Where OpenCV takes the decoder's thread count at open, a live source decodes with one
// thread, and the setting gives it more.
TEST(DecoderThreadsOfAnOpen, LiveSourceDecodesWithOneThreadUnlessSet) {
#ifdef CORVANE_TEST_DECODER_THREADS
  const std::string path = ::testing::TempDir() + "corvane_threads_clip.mp4";
  {
    cv::VideoWriter writer(path, cv::VideoWriter::fourcc('a', 'v', 'c', '1'), 25.0,
                           cv::Size(160, 120));
    if (!writer.isOpened()) GTEST_SKIP() << "this OpenCV writes no H.264";
    for (int i = 0; i < 25; ++i) writer.write(cv::Mat(120, 160, CV_8UC3, cv::Scalar::all(i * 10)));
  }
  setenv("CORVANE_VIDEO_SOURCE_KIND", "live", 1);  // a regular file, played as a camera
  const int one = threads_of_open(path);
  setenv("CORVANE_VIDEO_DECODER_THREADS", "4", 1);
  const int four = threads_of_open(path);
  unsetenv("CORVANE_VIDEO_DECODER_THREADS");
  unsetenv("CORVANE_VIDEO_SOURCE_KIND");
  std::remove(path.c_str());
  ASSERT_GE(one, 0);
  // FFmpeg starts no decoding threads for one thread, and one per frame thread otherwise.
  EXPECT_GE(four - one, 3) << one << " threads with the default, " << four << " with 4";
#else
  GTEST_SKIP() << "OpenCV " CV_VERSION " has no CAP_PROP_N_THREADS";
#endif
}

}  // namespace
}  // namespace corvane::video::testing
