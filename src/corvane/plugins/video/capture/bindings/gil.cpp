// GIL helpers for native threads; see gil.hpp.
#include "gil.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace corvane::video::bindings {

namespace {
unsigned long main_thread = 0;  // written once at module load, before any worker exists

// The way to the GIL: threads on their way are counted, and once the exit hook closed
// it nobody else sets out. A leaf mutex, never held across a call.
struct GilEntry {
  std::mutex mutex;
  std::condition_variable arrived;
  int on_the_way = 0;   // guarded by mutex
  bool closed = false;  // guarded by mutex
};

// Never destroyed: threads parked at exit still refer to it.
GilEntry& gil_entry() {
  static auto* instance = new GilEntry();
  return *instance;
}

thread_local bool runs_the_exit = false;

bool exempt_from_parking() {
  return runs_the_exit || PyThread_get_thread_ident() == main_thread;
}

// Counts the calling thread as on its way to the GIL for its scope. When the way is
// closed it parks the thread, or, made with kOrTurnBack, lets it go on without the GIL
// (turned_back()).
class OnTheWay {
 public:
  enum When { kOrPark, kOrTurnBack };
  explicit OnTheWay(When closed = kOrPark) {
    if (exempt_from_parking()) return;
    GilEntry& entry = gil_entry();
    std::unique_lock<std::mutex> lock(entry.mutex);
    if (entry.closed) {
      lock.unlock();
      if (closed == kOrPark) park_forever();
      turned_back_ = true;
      return;
    }
    ++entry.on_the_way;
    counted_ = true;
  }
  bool turned_back() const { return turned_back_; }
  ~OnTheWay() {
    if (!counted_) return;
    GilEntry& entry = gil_entry();
    bool closed;
    {
      std::lock_guard<std::mutex> lock(entry.mutex);
      --entry.on_the_way;
      closed = entry.closed;
    }
    if (closed) entry.arrived.notify_all();  // only the exit hook waits for arrivals
  }
  OnTheWay(const OnTheWay&) = delete;
  OnTheWay& operator=(const OnTheWay&) = delete;

 private:
  bool counted_ = false;
  bool turned_back_ = false;
};

}  // namespace

bool may_park_at_exit() {
  if (exempt_from_parking()) return false;
  // Once the interpreter has finalised, no thread holds the GIL any more.
  return !Py_IsInitialized() || !PyGILState_Check();
}

void close_gil_entry() {
  runs_the_exit = true;
  GilEntry& entry = gil_entry();
  std::unique_lock<std::mutex> lock(entry.mutex);
  entry.closed = true;
  // Each of them needs only the GIL, which the caller has given up.
  entry.arrived.wait(lock, [&] { return entry.on_the_way == 0; });
}

void remember_main_thread() {
  main_thread = pybind11::module_::import("threading")
                    .attr("main_thread")()
                    .attr("ident")
                    .cast<unsigned long>();
}

bool interpreter_exiting() {
#if PY_VERSION_HEX >= 0x030D0000
  return !Py_IsInitialized() || Py_IsFinalizing();  // public from 3.13 on, the private name gone
#else
  return !Py_IsInitialized() || _Py_IsFinalizing();
#endif
}

void park_forever() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

GilAcquire::GilAcquire() {
  if (PyGILState_Check()) return;
  if (interpreter_exiting()) park_forever();
  OnTheWay way;
  state_ = PyGILState_Ensure();
  acquired_ = true;
}

GilAcquire::~GilAcquire() {
  // During exit this scope is left only by the runtime ending the thread; the lock is
  // not ours to give back then.
  if (acquired_ && !interpreter_exiting()) PyGILState_Release(state_);
}

GilRelease::GilRelease() : state_(PyEval_SaveThread()) {}

GilRelease::~GilRelease() noexcept(false) {
  if (interpreter_exiting() && PyThread_get_thread_ident() != main_thread) park_forever();
  OnTheWay way;
  PyEval_RestoreThread(state_);
}

void drop_reference(PyObject* object) noexcept {
  if (object == nullptr) return;
  if (PyGILState_Check()) {
    Py_DECREF(object);
    return;
  }
  if (interpreter_exiting()) return;
  OnTheWay way(OnTheWay::kOrTurnBack);
  if (way.turned_back()) return;
  const PyGILState_STATE state = PyGILState_Ensure();
  Py_DECREF(object);
  PyGILState_Release(state);
}

}  // namespace corvane::video::bindings
