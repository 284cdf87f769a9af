// Registry of running workers and the exit hook that stops them; see exit_hook.hpp.
#include "exit_hook.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "core/native_calls.hpp"
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

// The margin on each native call's bound: the decoder notices a timeout when it next
// looks, not at the instant it passes.
constexpr auto kNativeCallMargin = std::chrono::milliseconds(1000);

void close_native_calls_at_exit() { close_native_calls(kNativeCallMargin); }

// The interpreter's exit hook, run before the interpreter begins to finalise and before
// any of the C runtime's exit handlers, with nothing torn down yet.
void exit_hook() {
  GilRelease nogil;
  // 1. Workers end their runs and come back to the interpreter.
  registry().shut_down_all();
  // 2. From here on no thread but this one (and the main thread) takes the GIL: one that
  //    would parks, so none is ended by finalisation inside its request for it.
  close_gil_entry();
  // 3. Calls into OpenCV still in progress (a read of a stream that stopped sending)
  //    return within their own bounds, and a thread coming back from one, or about to
  //    begin one, parks. Waiting here rather than among the C runtime's exit handlers
  //    matters: OpenCV registers some of its static objects' destructors lazily (at the
  //    first open of a kind of source), after any handler registered at import, so
  //    theirs would run first.
  close_native_calls(kNativeCallMargin);
}

}  // namespace

void install_exit_hook() {
  set_native_call_park_rule(&may_park_at_exit);
  py::module_::import("atexit").attr("register")(py::cpp_function(&exit_hook));
  // A host that ends the process without finalising the interpreter runs no exit hook
  // of the interpreter's; the gate then closes among the C runtime's handlers, late as
  // that may be.
  std::atexit(close_native_calls_at_exit);
}

}  // namespace corvane::video::bindings
