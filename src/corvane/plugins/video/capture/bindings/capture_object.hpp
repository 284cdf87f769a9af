// The Python object ParallVideoCapture beside its core: the state that only Python has
// (the values as given, the worker's threading.Thread, the lock and event objects),
// the thread host that runs workers as daemon threading.Threads, stopping, and the
// finaliser.
#pragma once

#include <pybind11/pybind11.h>

#include <map>
#include <memory>
#include <string>

#include "core/capture.hpp"
#include "module_services.hpp"

namespace corvane::video::bindings {

// The Python-side state of one capture; the core holds everything else.
struct PyCapture {
  ModuleServices services;
  std::shared_ptr<Capture> core;
  pybind11::object video_path;   // the value as given (a str at construction)
  pybind11::object auto_reload;  // the value as given; the core tests its truth when it needs it
  pybind11::object thread = pybind11::none();
  bool thread_started = false;   // whether `thread` got as far as running
  bool thread_returned = false;  // whether `thread` has come back from _capture_loop
  // The run each launched thread is to work for, until its _capture_loop takes it:
  // thread object -> run number.
  pybind11::dict worker_runs;
  pybind11::object lock_object;
  pybind11::object event_object;
  // The view shown as `cap` for a native source, kept so that reads give one object.
  pybind11::object native_view;
  std::shared_ptr<SourceHandle> native_view_source;
  // A video property assigned by the caller, shown as given for as long as the core's
  // properties are what that assignment left (a start that reads the source replaces it).
  struct AssignedProperty {
    pybind11::object value;
    VideoProperties stored;
  };
  std::map<std::string, AssignedProperty> assigned;
  // `running` or `paused` as last assigned, shown as given while the core's stamp of that
  // flag is still the one the assignment left.
  struct AssignedFlag {
    pybind11::object value;
    std::uint64_t stamp = 0;
  };
  AssignedFlag running_assigned;
  AssignedFlag paused_assigned;

  ~PyCapture();
};

// Workers as threading.Thread objects of the module's `threading` at launch time.
class PythonThreads final : public WorkerThreads {
 public:
  PythonThreads(PyCapture& owner, pybind11::handle self) : owner_(owner), self_(self) {}

  void launch(std::uint64_t run) override;
  void join(std::chrono::duration<double> timeout) override;

 private:
  PyCapture& owner_;
  pybind11::handle self_;
};

// `stop` of the capture `self`, whose state is `capture`.
void stop_capture(PyCapture& capture, pybind11::handle self);
// Notes that the calling thread has come back from `_capture_loop`; a later stop does
// not wait for it again.
void note_worker_returned(PyCapture& capture);

// Makes the finaliser (`__del__`, looked up on the object's own type) run when an
// instance of `cls` is deallocated, once, before its state goes: pybind11's own
// deallocation calls no finaliser.
void run_finaliser_on_dealloc(pybind11::handle cls);

// Whether `self` is a ParallVideoCapture whose __init__ has run.
bool is_constructed(pybind11::handle self);
// The capture behind `self`. Refuses, with a TypeError, anything that is not a fully
// constructed ParallVideoCapture (an object made by __new__ alone has no capture).
PyCapture& unwrap(pybind11::handle self);

// The `self` argument of a method: pybind11 converts it through unwrap, so every
// binding refuses an object that __init__ never set up.
struct CaptureSelf {
  pybind11::handle object;
  PyCapture* capture = nullptr;
  PyCapture* operator->() const { return capture; }
  PyCapture& operator*() const { return *capture; }
};

}  // namespace corvane::video::bindings

namespace pybind11::detail {

template <>
struct type_caster<corvane::video::bindings::CaptureSelf> {
  PYBIND11_TYPE_CASTER(corvane::video::bindings::CaptureSelf, const_name("ParallVideoCapture"));

  bool load(handle src, bool) {
    value.object = src;
    value.capture = &corvane::video::bindings::unwrap(src);
    return true;
  }

  static handle cast(const corvane::video::bindings::CaptureSelf& self, return_value_policy,
                     handle) {
    return self.object.inc_ref();
  }
};

}  // namespace pybind11::detail
