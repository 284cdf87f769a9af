// Test doubles for the capture core; see fakes.hpp.
#include "fakes.hpp"

#include <algorithm>
#include <opencv2/videoio.hpp>

#include "core/errors.hpp"

namespace corvane::video::testing {

int index_of(const Frame& frame) { return frame.image.at<int>(0, 0); }

FakeSource::FakeSource(Script script, std::shared_ptr<std::atomic<int>> releases)
    : script_(std::move(script)), releases_(std::move(releases)) {}

bool FakeSource::read(Frame& out) {
  const int n = reads_++;
  if (script_.read_time.count() > 0) std::this_thread::sleep_for(script_.read_time);
  if (script_.on_read) script_.on_read();
  if (n == script_.throw_at_read) throw VideoError("boom");
  if (position_ >= script_.frames) return false;
  out.image = cv::Mat(1, 1, CV_32S, cv::Scalar(position_++));
  return true;
}

Number FakeSource::get(int property) {
  if (script_.on_get) script_.on_get();
  switch (property) {
    case cv::CAP_PROP_FPS:
      return script_.fps;
    case cv::CAP_PROP_FRAME_COUNT:
      return script_.frame_count;
    case cv::CAP_PROP_FRAME_WIDTH:
      return Number::real(640);
    case cv::CAP_PROP_FRAME_HEIGHT:
      return Number::real(480);
    default:
      return Number::real(0);
  }
}

bool FakeSource::set(int property, const Number& value) {
  if (property != cv::CAP_PROP_POS_FRAMES) return false;
  position_ = static_cast<int>(value.to_double());
  return true;
}

std::shared_ptr<SourceHandle> FakeOpener::open(const std::string&) {
  if (throw_on_open) throw VideoError("cannot create");
  const auto i = static_cast<size_t>(opens_++);
  const Script& script = scripts_[std::min(i, scripts_.size() - 1)];
  std::this_thread::sleep_for(script.open_time);
  return std::make_shared<SourceHandle>(std::make_unique<FakeSource>(script, releases_));
}

std::vector<std::pair<std::string, std::string>> RecordingLogger::lines() const {
  std::lock_guard<std::mutex> g(mutex_);
  return lines_;
}

bool RecordingLogger::has(const std::string& level, const std::string& text) const {
  const auto all = lines();
  return std::find(all.begin(), all.end(), std::make_pair(level, text)) != all.end();
}

void RecordingLogger::add(const std::string& level, const std::string& text) {
  if (on_line) on_line(text);
  std::lock_guard<std::mutex> g(mutex_);
  lines_.emplace_back(level, text);
}

StdThreads::~StdThreads() {
  for (auto& t : threads_) t.join();
}

void StdThreads::launch(std::uint64_t run) {
  if (fail_launch) throw VideoError("can't start new thread");
  auto done = std::make_shared<std::promise<void>>();
  std::lock_guard<std::mutex> g(mutex_);
  done_.push_back(done->get_future().share());
  Capture* capture = capture_;
  threads_.emplace_back([capture, done, run] {
    capture->run_loop(run);
    done->set_value();
  });
  ++launches_;
}

bool StdThreads::all_ended() {
  std::lock_guard<std::mutex> g(mutex_);
  return std::all_of(done_.begin(), done_.end(), [](const std::shared_future<void>& f) {
    return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  });
}

void StdThreads::join(std::chrono::duration<double> timeout) {
  std::shared_future<void> latest;
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (done_.empty()) return;
    latest = done_.back();
  }
  latest.wait_for(timeout);
}

Rig::Rig(std::vector<Script> scripts, bool auto_reload)
    : opener(std::make_shared<FakeOpener>(std::move(scripts))),
      logger(std::make_shared<RecordingLogger>()),
      capture(std::make_unique<Capture>("clip.mkv", auto_reload, opener, logger)),
      threads(std::make_unique<StdThreads>(raw)) {
  raw = capture.get();
}

Rig::~Rig() {
  capture->shut_down();
  threads.reset();  // joins every worker before the capture goes
}

bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return pred();
}

}  // namespace corvane::video::testing
