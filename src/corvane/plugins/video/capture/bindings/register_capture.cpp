// ParallVideoCapture's methods and attributes, registered on the capture module.
//
// Python rules applied here: argument names, defaults and type errors, truth values,
// the kinds of attribute values and documentation texts. Every call that may block on
// the core's locks or on a source gives up the GIL first; callbacks into Python take it
// back (see gil.hpp). The object's own state, its worker threads and its finaliser are
// in capture_object.hpp.
#include "capture_object.hpp"
#include "docs.hpp"
#include "exit_hook.hpp"
#include "frame_copy.hpp"
#include "gil.hpp"
#include "interruptible_wait.hpp"
#include "python_objects.hpp"
#include "python_source.hpp"
#include "register.hpp"

namespace py = pybind11;

namespace corvane::video::bindings {

namespace {

using CaptureClass = py::class_<PyCapture>;
using Getter = py::object (*)(PyCapture&);
using Setter = void (*)(PyCapture&, py::object);

// An attribute read and assigned through the capture's state.
void def_attribute(CaptureClass& cls, const char* name, Getter get, Setter set) {
  cls.def_property(name, py::cpp_function([get](CaptureSelf self) { return get(*self); }),
                   py::cpp_function([set](CaptureSelf self, py::object v) { set(*self, v); }));
}

// An attribute that is the capture's own machinery: assigning it raises an
// AttributeError that says `why`.
void def_fixed_attribute(CaptureClass& cls, const char* name, Getter get, const char* why) {
  cls.def_property(name, py::cpp_function([get](CaptureSelf self) { return get(*self); }),
                   py::cpp_function([name, why](CaptureSelf, py::handle) {
                     throw py::attribute_error(std::string("cannot assign '") + name + "': " + why);
                   }));
}

// `running` and `paused`: the value last assigned while nothing else has written the flag
// since (start, stop, pause, resume, the worker giving up), otherwise the flag as a bool.
py::object running_object(PyCapture& c) {
  const auto& a = c.running_assigned;
  if (a.value && a.stamp == c.core->running_stamp()) return a.value;
  return py::bool_(c.core->running());
}

py::object paused_object(PyCapture& c) {
  const auto& a = c.paused_assigned;
  if (a.value && a.stamp == c.core->paused_stamp()) return a.value;
  return py::bool_(c.core->paused());
}

bool same_properties(const VideoProperties& a, const VideoProperties& b) {
  return a.frame_count == b.frame_count && a.fps == b.fps && a.width == b.width &&
         a.height == b.height && a.duration == b.duration;
}

// A video property: reads the core's value, or the object last assigned while the core
// still holds what that assignment stored. An assignment stores what the core can use
// (`store` leaves the field as it was for a value that is no usable number) and keeps
// the object as given, so its kind reads back unchanged.
template <typename Read, typename Store>
void def_video_property(CaptureClass& cls, const char* name, Read read, Store store) {
  cls.def_property(
      name,
      py::cpp_function([name, read](CaptureSelf self) -> py::object {
        const VideoProperties now = self->core->properties();
        auto assigned = self->assigned.find(name);
        if (assigned != self->assigned.end() && same_properties(assigned->second.stored, now)) {
          return assigned->second.value;
        }
        return read(now);
      }),
      py::cpp_function([name, store](CaptureSelf self, py::object value) {
        VideoProperties p = self->core->properties();
        store(p, value);
        self->core->set_properties(p);
        self->assigned[name] = PyCapture::AssignedProperty{value, p};
      }));
}

std::optional<Number> number_of(py::handle value) {
  try {
    return number_from_python(value);
  } catch (py::error_already_set&) {
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

void def_video_property(CaptureClass& cls, const char* name, Number VideoProperties::*field) {
  def_video_property(
      cls, name, [field](const VideoProperties& p) { return to_python(p.*field); },
      [field](VideoProperties& p, py::handle v) { p.*field = number_of(v).value_or(p.*field); });
}

void def_lifecycle(CaptureClass& cls) {
  cls.def(
      "start",
      [](CaptureSelf self) {
        PythonThreads threads(*self, self.object);
        GilRelease nogil;
        return self->core->start(threads, python_interruption());
      },
      docs::kStart);
  cls.def(
      "stop", [](CaptureSelf self) { stop_capture(*self, self.object); }, docs::kStop);
  cls.def(
      "_capture_loop",
      [](CaptureSelf self) {
        std::shared_ptr<Capture> core = self->core;
        // The run start launched this thread for; a call from anywhere else has none
        // and works for no run.
        py::object thread = py::module_::import("threading").attr("current_thread")();
        const py::object run = self->worker_runs.attr("pop")(thread, py::none());
        if (run.is_none()) return;
        const auto run_id = run.cast<std::uint64_t>();  // a Python call: before the GIL goes
        try {
          ActiveWorker active(core);
          GilRelease nogil;
          core->run_loop(run_id);
        } catch (...) {
          // An interrupt or exit request from a Python source or the logger ends the
          // worker too; it goes on to the thread.
          note_worker_returned(*self);
          throw;
        }
        note_worker_returned(*self);
      },
      docs::kCaptureLoop);
  cls.def(
      "__del__",
      [](py::handle self) {
        // A failed construction leaves no capture to stop.
        if (!py::isinstance<PyCapture>(self))
          throw py::type_error("a ParallVideoCapture is required");
        // The object's own stop, so that a subclass's override runs.
        if (is_constructed(self)) self.attr("stop")();
      },
      docs::kDel);
  cls.def(
      "is_running", [](CaptureSelf self) { return running_object(*self); }, docs::kIsRunning);
  cls.def(
      "is_paused", [](CaptureSelf self) { return paused_object(*self); }, docs::kIsPaused);
}

void def_playback_control(CaptureClass& cls) {
  cls.def(
      "pause", [](CaptureSelf self) { self->core->pause(); }, docs::kPause);
  cls.def(
      "resume", [](CaptureSelf self) { self->core->resume(); }, docs::kResume);
  cls.def(
      "seek",
      [](CaptureSelf self, py::object frame_number) {
        Capture& core = *self->core;
        // The target goes to the source and into current_frame_number as given; a kind
        // the core does not know is compared, counted on and written by Python.
        const Number target = number_as_given(frame_number);
        GilRelease nogil;
        return core.seek(target, python_interruption());
      },
      py::arg("frame_number"), docs::kSeek);
}

void def_frame_access(CaptureClass& cls) {
  cls.def(
      "get_frame",
      [](CaptureSelf self, py::object wait_for_frame, py::object timeout) -> py::object {
        auto current = copy_current_frame(*self->core, requested_wait(wait_for_frame, timeout));
        if (!current) return py::none();
        return current->second;
      },
      py::arg("wait_for_frame") = false, py::arg("timeout") = 0.1, docs::kGetFrame);
  cls.def(
      "get_frame_with_number",
      [](CaptureSelf self) -> py::tuple {
        auto current = copy_current_frame(*self->core);
        if (!current) return py::make_tuple(py::none(), py::none());
        return py::make_tuple(to_python(current->first), current->second);
      },
      docs::kGetFrameWithNumber);
  cls.def(
      "get_video_info",
      [](CaptureSelf self) {
        Capture& core = *self->core;
        py::dict info;
        const VideoProperties p = core.properties();
        info["width"] = to_python(p.width);
        info["height"] = to_python(p.height);
        info["fps"] = to_python(p.fps);
        info["frame_count"] = to_python(p.frame_count);
        info["duration"] = to_python(p.duration);
        info["is_running"] = running_object(*self);
        info["is_paused"] = paused_object(*self);
        info["current_frame"] = to_python(core.current_frame_number());
        return info;
      },
      docs::kGetVideoInfo);

  // For measurements: (read started, read finished, published) of the most recent
  // publications, in seconds of the monotonic clock that time.monotonic() reads.
  cls.def("_publication_timings", [](CaptureSelf self) {
    const auto seconds = [](std::chrono::steady_clock::time_point t) {
      return std::chrono::duration<double>(t.time_since_epoch()).count();
    };
    py::list out;
    for (const auto& t : self->core->recent_publications()) {
      out.append(
          py::make_tuple(seconds(t.read_started), seconds(t.read_finished), seconds(t.published)));
    }
    return out;
  });
}

py::object source_object(PyCapture& c) {
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
}

void set_source_object(PyCapture& c, py::object value) {
  if (value.is_none()) {
    c.core->set_source(nullptr);
  } else if (auto native = native_source_of(value)) {
    c.core->set_source(native);
  } else {
    c.core->set_source(std::make_shared<SourceHandle>(std::make_unique<PythonSource>(value, c.services.unpack_pair)));
  }
}

py::object frame_object(PyCapture& c) {
  auto frame = c.core->frame();
  if (!frame) return py::none();
  if (frame->foreign) return object_of(frame->foreign);
  return mat_to_array(frame->image, false);
}

void set_frame_object(PyCapture& c, py::object value) {
  if (value.is_none()) {
    c.core->set_frame(std::nullopt);
  } else {
    c.core->set_frame(Frame{cv::Mat(), keep_alive(value)});
  }
}

// The fifteen attributes, in the order the constructor creates them.
void def_attributes(CaptureClass& cls) {
  def_attribute(
      cls, "video_path", [](PyCapture& c) { return c.video_path; },
      [](PyCapture& c, py::object v) {
        // The next open uses this text, so a value that is no text is refused rather than
        // kept while the old path goes on being opened.
        if (!PyUnicode_Check(v.ptr())) {
          throw py::type_error(std::string("video_path must be str, not ") +
                               Py_TYPE(v.ptr())->tp_name);
        }
        c.core->set_video_path(text_from_python(v));
        c.video_path = v;
      });
  def_attribute(
      cls, "auto_reload", [](PyCapture& c) { return c.auto_reload; },
      [](PyCapture& c, py::object v) {
        c.auto_reload = v;
        c.core->set_auto_reload(truth_of(v));
      });
  def_attribute(cls, "cap", source_object, set_source_object);
  def_attribute(cls, "frame", frame_object, set_frame_object);
  def_attribute(cls, "running", running_object, [](PyCapture& c, py::object v) {
    c.core->set_running(py::bool_(v));
    c.running_assigned = {v, c.core->running_stamp()};
  });
  def_fixed_attribute(
      cls, "thread", [](PyCapture& c) { return c.thread; },
      "it is the worker that stop waits for, and only start launches one");
  def_fixed_attribute(
      cls, "lock", [](PyCapture& c) { return c.lock_object; },
      "the lock is created once and shared with the worker for the capture's whole life");
  def_attribute(cls, "paused", paused_object, [](PyCapture& c, py::object v) {
    c.core->set_paused(py::bool_(v));
    c.paused_assigned = {v, c.core->paused_stamp()};
  });
  def_video_property(cls, "frame_count", &VideoProperties::frame_count);
  def_video_property(cls, "fps", &VideoProperties::fps);
  def_video_property(cls, "width", &VideoProperties::width);
  def_video_property(cls, "height", &VideoProperties::height);
  def_video_property(cls, "duration", &VideoProperties::duration);
  def_attribute(
      cls, "current_frame_number",
      [](PyCapture& c) { return to_python(c.core->current_frame_number()); },
      [](PyCapture& c, py::object v) {
        number_from_python(v);  // refuses what is no number, as before
        c.core->set_current_frame_number(number_as_given(v));
      });
  def_fixed_attribute(
      cls, "frame_ready", [](PyCapture& c) { return c.event_object; },
      "the event is created once and set by the worker for the capture's whole life");
}

}  // namespace

void register_capture(py::module_& m, const ModuleServices& services) {
  CaptureClass cls(m, "ParallVideoCapture", py::dynamic_attr());

  cls.def(py::init([services](py::object video_path, py::object auto_reload) {
            if (!PyUnicode_CheckExact(video_path.ptr())) {
              throw py::type_error(std::string("video_path must be str, not ") +
                                   Py_TYPE(video_path.ptr())->tp_name);
            }
            auto self = std::make_unique<PyCapture>();
            self->services = services;
            self->video_path = video_path;
            self->auto_reload = auto_reload;
            self->core = std::make_shared<Capture>(text_from_python(video_path), true,
                                                   services.opener, services.logger);
            self->core->set_auto_reload(truth_of(auto_reload));
            self->lock_object = make_lock_object(self->core);
            self->event_object = make_event_object(self->core);
            return self;
          }),
          py::arg("video_path"), py::arg("auto_reload") = true);

  def_lifecycle(cls);
  def_playback_control(cls);
  def_frame_access(cls);
  def_attributes(cls);
  run_finaliser_on_dealloc(cls);
}

}  // namespace corvane::video::bindings
