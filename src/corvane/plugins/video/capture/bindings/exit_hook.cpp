// Registry of running workers and the exit hook that stops them; see exit_hook.hpp.
#include "exit_hook.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "core/native_calls.hpp"
#include "core/open_settings.hpp"
#include "gil.hpp"

namespace py = pybind11;

namespace corvane::video::bindings {

namespace {

// How long exit waits for workers to come back: enough for any decode or re-open of a
// file, short enough that a hung network read cannot hold up the process.
constexpr auto kExitWait = std::chrono::milliseconds(1000);

class Registry {
 public:
  void add(Capture* capture) {
    std::lock_guard<std::mutex> g(mutex_);
    active_.push_back(capture);
  }

  void remove(Capture* capture) {
    {
      std::lock_guard<std::mutex> g(mutex_);
      active_.erase(std::find(active_.begin(), active_.end(), capture));
    }
    changed_.notify_all();
  }

  // Called with the GIL released.
  void shut_down_all() {
    std::unique_lock<std::mutex> g(mutex_);
    for (Capture* capture : active_) capture->shut_down();
    changed_.wait_for(g, kExitWait, [this] { return active_.empty(); });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Capture*> active_;  // guarded by mutex_; each kept alive by its ActiveWorker
};

// Never destroyed: workers left behind at exit may still refer to it.
Registry& registry() {
  static auto* instance = new Registry();
  return *instance;
}

}  // namespace

ActiveWorker::ActiveWorker(std::shared_ptr<Capture> capture) : capture_(std::move(capture)) {
  registry().add(capture_.get());
}

ActiveWorker::~ActiveWorker() { registry().remove(capture_.get()); }

namespace {

// Run by the C runtime's exit, after the interpreter has finalised and before OpenCV's
// global state goes (it was loaded before this module, so its destructors run after
// this). A native call still in progress (a read of a stream that stopped sending, an
// open) returns within its timeouts, which bound the wait.
void close_native_calls_at_exit() {
  OpenSettings settings;
  try {
    settings = OpenSettings::from_environment();
  } catch (const std::exception&) {
    // The defaults, then.
  }
  const int longest_ms = std::max(settings.open_timeout_ms, settings.read_timeout_ms);
  close_native_calls(std::chrono::milliseconds(longest_ms) + std::chrono::seconds(1));
}

}  // namespace

void install_exit_hook() {
  py::module_::import("atexit").attr("register")(py::cpp_function([] {
    GilRelease nogil;
    registry().shut_down_all();
  }));
  std::atexit(close_native_calls_at_exit);
}

}  // namespace corvane::video::bindings
