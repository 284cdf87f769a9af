// ParallVideoCapture: the Python face of the capture core.
//
// Python rules applied here and nowhere else: argument names, defaults and type errors,
// truth values, the kinds of attribute values, documentation texts, the worker as a
// daemon threading.Thread whose target is the object's own `_capture_loop`, and frames
// as numpy arrays. Every call that may block on the core's locks or on a source gives up
// the GIL first; callbacks into Python take it back (see gil.hpp).
#include <cmath>
#include <optional>

#include "docs.hpp"
#include "exit_hook.hpp"
#include "gil.hpp"
#include "interruptible_wait.hpp"
#include "python_errors.hpp"
#include "python_objects.hpp"
#include "python_source.hpp"
#include "register.hpp"
#include "timeouts.hpp"

namespace py = pybind11;

namespace corvane::video::bindings {

namespace {

// The Python-side state of one capture; the core holds everything else.
struct PyCapture {
  std::shared_ptr<ModuleHooks> hooks;
  std::shared_ptr<Capture> core;
  py::object video_path;   // the str as given
  py::object auto_reload;  // the value as given; the core keeps its truth value
  py::object thread = py::none();
  bool thread_started = false;  // whether `thread` got as far as running
  // The run each launched thread is to work for, until its _capture_loop takes it:
  // thread object -> run number.
  py::dict worker_runs;
  py::object lock_object;
  py::object event_object;
  // The view shown as `cap` for a native source, kept so that reads give one object.
  py::object native_view;
  std::shared_ptr<SourceHandle> native_view_source;

  ~PyCapture();
};

// Workers as threading.Thread objects of the module's `threading` at launch time.
class PythonThreads final : public WorkerThreads {
 public:
  PythonThreads(PyCapture& owner, py::handle self) : owner_(owner), self_(self) {}

  void launch(std::uint64_t run) override {
    HostGil gil;
    call_python([&] {
      py::object thread_class =
          py::module_::import("corvane.plugins.video.capture").attr("threading").attr("Thread");
      py::object thread = thread_class(py::arg("target") = self_.attr("_capture_loop"));
      owner_.thread = thread;
      owner_.thread_started = false;
      thread.attr("daemon") = true;
      // The target takes no argument: the thread finds its run here when it begins.
      owner_.worker_runs[thread] = run;
      try {
        thread.attr("start")();
      } catch (py::error_already_set&) {
        PyDict_DelItem(owner_.worker_runs.ptr(), thread.ptr());
        throw;
      }
      owner_.thread_started = true;
      return 0;
    });
  }

  void join(std::chrono::duration<double> timeout) override {
    HostGil gil;
    call_python([&] {
      // A thread that never started cannot be waited for, and a worker that finalises
      // its own capture must not wait for itself.
      if (owner_.thread.is_none() || !owner_.thread_started) return 0;
      py::object ident = owner_.thread.attr("ident");
      if (ident.equal(py::module_::import("threading").attr("get_ident")())) return 0;
      owner_.thread.attr("join")(py::arg("timeout") = timeout.count());
      return 0;
    });
  }

 private:
  PyCapture& owner_;
  py::handle self_;
};

void stop_capture(PyCapture& self, py::handle self_object) {
  PythonThreads threads(self, self_object);
  GilRelease nogil;
  self.core->stop(threads);
}

PyCapture::~PyCapture() {
  // The finaliser of an object that is collected: stop, reporting an error the way the
  // interpreter reports errors of finalisers. Nobody else can hold the capture now, so
  // its locks are free; the GIL stays held because this often runs on the finished
  // worker itself, where giving it up at interpreter exit would end the thread here.
  if (!core || interpreter_exiting()) return;
  try {
    if (core->running() || core->source()) {
      PythonThreads threads(*this, py::none());
      core->stop(threads);
    }
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("ParallVideoCapture.__del__");
  } catch (const PythonError& e) {
    e.restore();
    PyErr_WriteUnraisable(nullptr);
  } catch (const std::exception&) {
  }
}

// The capture behind `self`. Refuses, with a TypeError, anything that is not a fully
// constructed ParallVideoCapture (an object made by __new__ alone has no capture).
PyCapture& unwrap(py::handle self) {
  if (!py::isinstance<PyCapture>(self)) throw py::type_error("a ParallVideoCapture is required");
  auto* instance = reinterpret_cast<py::detail::instance*>(self.ptr());
  auto holder = instance->get_value_and_holder(py::detail::get_type_info(typeid(PyCapture)), false);
  if (!holder || !holder.holder_constructed()) {
    throw py::type_error("ParallVideoCapture.__init__() has not been called");
  }
  return *static_cast<PyCapture*>(holder.value_ptr());
}

// The current frame copied for the caller, with its number; nullopt without a frame.
// A native frame is copied without the GIL and outside the lock (the stored image is
// never written again); a frame from a Python source is copied with its own copy(),
// under the lock.
// With `wait_seconds`, first waits for a new frame the way get_frame does, in the same
// stretch without the GIL.
std::optional<std::pair<Number, py::object>> copy_current_frame(
    Capture& core, std::optional<double> wait_seconds = std::nullopt) {
  std::optional<Frame> native;
  std::optional<std::pair<Number, py::object>> result;
  cv::Mat copy;
  {
    GilRelease nogil;
    if (wait_seconds) {
      core.wait_for_new_frame(std::chrono::duration<double>(*wait_seconds), python_interruption());
    }
    core.with_frame([&](const Frame* frame, const Number& number) {
      // A source may report success with None for an image: that is no frame.
      if (frame == nullptr || frame->foreign.get() == Py_None) return;
      if (frame->foreign) {
        HostGil gil;
        result.emplace(number, object_of(frame->foreign).attr("copy")());
      } else {
        native = *frame;
        result.emplace(number, py::object());
      }
    }, python_interruption());
    if (native) copy = native->image.clone();
    native.reset();
  }
  if (result && !result->second) result->second = mat_to_array(copy, true);
  return result;
}

}  // namespace

void register_capture(py::module_& m, std::shared_ptr<ModuleHooks> hooks) {
  py::class_<PyCapture> cls(m, "ParallVideoCapture");

  cls.def(py::init([hooks](py::object video_path, py::object auto_reload) {
            if (!PyUnicode_CheckExact(video_path.ptr())) {
              throw py::type_error(std::string("video_path must be str, not ") +
                                   Py_TYPE(video_path.ptr())->tp_name);
            }
            auto self = std::make_unique<PyCapture>();
            self->hooks = hooks;
            self->video_path = video_path;
            self->auto_reload = auto_reload;
            self->core =
                std::make_shared<Capture>(text_from_python(video_path), true, hooks, hooks);
            self->core->set_auto_reload(truth_of(auto_reload));
            self->lock_object = make_lock_object(self->core);
            self->event_object = make_event_object(self->core);
            return self;
          }),
          py::arg("video_path"), py::arg("auto_reload") = true);

  // Lifecycle.
  cls.def(
      "start",
      [](py::object self) {
        auto& c = unwrap(self);
        PythonThreads threads(c, self);
        GilRelease nogil;
        return c.core->start(threads);
      },
      docs::kStart);
  cls.def(
      "stop", [](py::object self) { stop_capture(unwrap(self), self); }, docs::kStop);
  cls.def(
      "_capture_loop",
      [](py::object self) {
        PyCapture& c = unwrap(self);
        std::shared_ptr<Capture> core = c.core;
        // The run start launched this thread for; a call from anywhere else has none
        // and works for no run.
        py::object thread = py::module_::import("threading").attr("current_thread")();
        const py::object run = c.worker_runs.attr("pop")(thread, py::none());
        if (run.is_none()) return;
        ActiveWorker active(core);
        GilRelease nogil;
        core->run_loop(run.cast<std::uint64_t>());
      },
      docs::kCaptureLoop);
  cls.def(
      "__del__",
      [](py::handle self) {
        // A failed construction leaves no capture to stop.
        if (!py::isinstance<PyCapture>(self))
          throw py::type_error("a ParallVideoCapture is required");
        auto* instance = reinterpret_cast<py::detail::instance*>(self.ptr());
        auto holder =
            instance->get_value_and_holder(py::detail::get_type_info(typeid(PyCapture)), false);
        if (!holder || !holder.holder_constructed()) return;
        stop_capture(unwrap(self), self);
      },
      docs::kDel);
  cls.def(
      "is_running",
      [](py::handle self) {
        PyCapture& c = unwrap(self);
        return c.core->running();
      },
      docs::kIsRunning);
  cls.def(
      "is_paused",
      [](py::handle self) {
        PyCapture& c = unwrap(self);
        return c.core->paused();
      },
      docs::kIsPaused);

  // Playback control.
  cls.def(
      "pause",
      [](py::handle self) {
        PyCapture& c = unwrap(self);
        c.core->pause();
      },
      docs::kPause);
  cls.def(
      "resume",
      [](py::handle self) {
        PyCapture& c = unwrap(self);
        c.core->resume();
      },
      docs::kResume);
  cls.def(
      "seek",
      [](py::handle self, py::object frame_number) {
        PyCapture& c = unwrap(self);
        Capture& core = *c.core;
        // The target goes to the source and into current_frame_number as given; a kind
        // the core does not know is compared, counted on and written by Python.
        const Number target = number_as_given(frame_number);
        GilRelease nogil;
        return core.seek(target, python_interruption());
      },
      py::arg("frame_number"), docs::kSeek);

  // Frame access.
  cls.def(
      "get_frame",
      [](py::handle self, py::object wait_for_frame, py::object timeout) -> py::object {
        PyCapture& c = unwrap(self);
        const double seconds = PyFloat_AsDouble(timeout.ptr());
        if (seconds == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        const int wait = PyObject_IsTrue(wait_for_frame.ptr());
        if (wait < 0) throw py::error_already_set();
        if (wait) check_timeout(seconds);
        auto current =
            copy_current_frame(*c.core, wait ? std::optional<double>(seconds) : std::nullopt);
        if (!current) return py::none();
        return current->second;
      },
      py::arg("wait_for_frame") = false, py::arg("timeout") = 0.1, docs::kGetFrame);
  cls.def(
      "get_frame_with_number",
      [](py::handle self) {
        PyCapture& c = unwrap(self);
        auto current = copy_current_frame(*c.core);
        if (!current) return py::make_tuple(py::none(), py::none());
        return py::make_tuple(to_python(current->first), current->second);
      },
      docs::kGetFrameWithNumber);
  cls.def(
      "get_video_info",
      [](py::handle self) {
        PyCapture& c = unwrap(self);
        py::dict info;
        const VideoProperties p = c.core->properties();
        info["width"] = to_python(p.width);
        info["height"] = to_python(p.height);
        info["fps"] = to_python(p.fps);
        info["frame_count"] = to_python(p.frame_count);
        info["duration"] = to_python(p.duration);
        info["is_running"] = c.core->running();
        info["is_paused"] = c.core->paused();
        info["current_frame"] = to_python(c.core->current_frame_number());
        return info;
      },
      docs::kGetVideoInfo);

  // For measurements: (read started, read finished, published) of the most recent
  // publications, in seconds of the monotonic clock that time.monotonic() reads.
  cls.def("_publication_timings", [](py::handle self) {
    PyCapture& c = unwrap(self);
    const auto seconds = [](std::chrono::steady_clock::time_point t) {
      return std::chrono::duration<double>(t.time_since_epoch()).count();
    };
    py::list out;
    for (const auto& t : c.core->recent_publications()) {
      out.append(
          py::make_tuple(seconds(t.read_started), seconds(t.read_finished), seconds(t.published)));
    }
    return out;
  });

  // The fifteen attributes, in the order the constructor creates them.
  cls.def_property_readonly("video_path", [](py::handle self) {
    PyCapture& c = unwrap(self);
    return c.video_path;
  });
  cls.def_property(
      "auto_reload",
      [](py::handle self) {
        PyCapture& c = unwrap(self);
        return c.auto_reload;
      },
      [](py::handle self, py::object v) {
        PyCapture& c = unwrap(self);
        c.auto_reload = v;
        c.core->set_auto_reload(truth_of(v));
      });
  cls.def_property(
      "cap",
      [](py::handle self) -> py::object {
        PyCapture& c = unwrap(self);
        auto source = c.core->source();
        if (!source) return py::none();
        if (auto* python = dynamic_cast<PythonSource*>(&source->unsynchronised_source())) {
          return python->object();
        }
        if (c.native_view_source != source) {
          c.native_view = make_native_source_object(source);
          c.native_view_source = source;
        }
        return c.native_view;
      },
      [](py::handle self, py::object value) {
        PyCapture& c = unwrap(self);
        if (value.is_none()) {
          c.core->set_source(nullptr);
        } else if (auto native = native_source_of(value)) {
          c.core->set_source(native);
        } else {
          c.core->set_source(std::make_shared<SourceHandle>(std::make_unique<PythonSource>(value)));
        }
      });
  cls.def_property(
      "frame",
      [](py::handle self) -> py::object {
        PyCapture& c = unwrap(self);
        auto frame = c.core->frame();
        if (!frame) return py::none();
        if (frame->foreign) return object_of(frame->foreign);
        return mat_to_array(frame->image, false);
      },
      [](py::handle self, py::object value) {
        PyCapture& c = unwrap(self);
        if (value.is_none()) {
          c.core->set_frame(std::nullopt);
        } else {
          c.core->set_frame(Frame{cv::Mat(), keep_alive(value)});
        }
      });
  cls.def_property(
      "running",
      [](py::handle self) {
        PyCapture& c = unwrap(self);
        return c.core->running();
      },
      [](py::handle self, py::object v) {
        PyCapture& c = unwrap(self);
        c.core->set_running(py::bool_(v));
      });
  cls.def_property_readonly("thread", [](py::handle self) {
    PyCapture& c = unwrap(self);
    return c.thread;
  });
  cls.def_property_readonly("lock", [](py::handle self) {
    PyCapture& c = unwrap(self);
    return c.lock_object;
  });
  cls.def_property(
      "paused",
      [](py::handle self) {
        PyCapture& c = unwrap(self);
        return c.core->paused();
      },
      [](py::handle self, py::object v) {
        PyCapture& c = unwrap(self);
        c.core->set_paused(py::bool_(v));
      });
  cls.def_property_readonly("frame_count", [](py::handle self) {
    PyCapture& c = unwrap(self);
    return to_python(c.core->properties().frame_count);
  });
  cls.def_property_readonly("fps", [](py::handle self) {
    PyCapture& c = unwrap(self);
    return to_python(c.core->properties().fps);
  });
  cls.def_property_readonly("width", [](py::handle self) {
    PyCapture& c = unwrap(self);
    return to_python(c.core->properties().width);
  });
  cls.def_property_readonly("height", [](py::handle self) {
    PyCapture& c = unwrap(self);
    return to_python(c.core->properties().height);
  });
  cls.def_property_readonly("duration", [](py::handle self) {
    PyCapture& c = unwrap(self);
    return to_python(c.core->properties().duration);
  });
  cls.def_property(
      "current_frame_number",
      [](py::handle self) {
        PyCapture& c = unwrap(self);
        return to_python(c.core->current_frame_number());
      },
      [](py::handle self, py::handle v) {
        PyCapture& c = unwrap(self);
        number_from_python(v);  // refuses what is no number, as before
        c.core->set_current_frame_number(number_as_given(v));
      });
  cls.def_property_readonly("frame_ready", [](py::handle self) {
    PyCapture& c = unwrap(self);
    return c.event_object;
  });
}

}  // namespace corvane::video::bindings
