// Test doubles for the capture core: a scripted source, an opener that hands out such
// sources, a logger that records, and worker threads on std::thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/capture.hpp"

namespace corvane::video::testing {

// The index a fake frame carries in its only pixel.
int index_of(const Frame& frame);

// What one fake source does.
struct Script {
  bool opens = true;
  int frames = 1000000;  // frames before end of stream
  Number fps = Number::real(200.0);
  Number frame_count = Number::real(1000000.0);
  int throw_at_read = -1;  // the read (counted from 0) that throws VideoError("boom")
  std::chrono::microseconds read_time{0};
  std::function<void()> on_read;  // runs inside each read, before it returns
  std::function<void()> on_get;   // runs inside each get, before it returns
  std::chrono::milliseconds open_time{0};  // how long opening this source takes
  bool live = false;               // what is_live() reports
};

class FakeSource final : public VideoSource {
 public:
  FakeSource(Script script, std::shared_ptr<std::atomic<int>> releases);
  bool is_opened() override { return script_.opens; }
  bool read(Frame& out) override;
  Number get(int property) override;
  bool set(int property, const Number& value) override;
  void release() override { ++*releases_; }
  bool is_live() const override { return script_.live; }
  // The frame last read, at kFrameMsec per frame.
  std::optional<double> position_msec() override { return (position_ - 1) * kFrameMsec; }
  static constexpr double kFrameMsec = 10.0;

 private:
  Script script_;
  std::shared_ptr<std::atomic<int>> releases_;
  int position_ = 0;
  int reads_ = 0;
};

// Hands out fake sources: script i for the i-th open, the last one for every later open.
class FakeOpener final : public SourceOpener {
 public:
  explicit FakeOpener(std::vector<Script> scripts) : scripts_(std::move(scripts)) {}
  std::shared_ptr<SourceHandle> open(const std::string& path) override;
  int opens() const { return opens_.load(); }
  int releases() const { return releases_->load(); }
  std::atomic<bool> throw_on_open{false};

 private:
  std::vector<Script> scripts_;
  std::atomic<int> opens_{0};
  std::shared_ptr<std::atomic<int>> releases_ = std::make_shared<std::atomic<int>>(0);
};

class RecordingLogger final : public Logger {
 public:
  void info(const std::string& text) override { add("info", text); }
  void warning(const std::string& text) override { add("warning", text); }
  void error(const std::string& text) override { add("error", text); }
  std::vector<std::pair<std::string, std::string>> lines() const;
  bool has(const std::string& level, const std::string& text) const;
  // Runs as each line is written, on the writing thread; set before the capture starts.
  std::function<void(const std::string&)> on_line;

 private:
  void add(const std::string& level, const std::string& text);
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> lines_;
};

// Workers on std::thread, with a join that gives up after its timeout.
class StdThreads final : public WorkerThreads {
 public:
  explicit StdThreads(Capture*& capture) : capture_(capture) {}
  ~StdThreads() override;
  void launch(std::uint64_t run) override;
  void join(std::chrono::duration<double> timeout) override;
  int launches() const { return launches_.load(); }
  // Every worker launched so far has returned.
  bool all_ended();
  std::atomic<bool> fail_launch{false};

 private:
  Capture*& capture_;
  std::mutex mutex_;
  std::vector<std::thread> threads_;
  std::vector<std::shared_future<void>> done_;
  std::atomic<int> launches_{0};
};

// A capture wired to fakes, stopped and joined at the end of the test.
struct Rig {
  explicit Rig(std::vector<Script> scripts, bool auto_reload = true);
  ~Rig();
  Capture* raw = nullptr;
  std::shared_ptr<FakeOpener> opener;
  std::shared_ptr<RecordingLogger> logger;
  std::unique_ptr<Capture> capture;
  std::unique_ptr<StdThreads> threads;
};

// Waits until `pred` holds, at most `timeout`; the result of the last check.
bool eventually(const std::function<bool()>& pred,
                std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

}  // namespace corvane::video::testing
