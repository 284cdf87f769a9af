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
#include "python_objects.hpp"
#include "python_source.hpp"
#include "register.hpp"
#include "timeouts.hpp"

namespace py = pybind11;

namespace corvane::video::bindings {

namespace {

using CaptureClass = py::class_<PyCapture>;
using Getter = py::object (*)(PyCapture&);
using Setter = void (*)(PyCapture&, py::object);

// An attribute read (and, with `set`, assigned) through the capture's state.
void def_attribute(CaptureClass& cls, const char* name, Getter get, Setter set = nullptr) {
  py::cpp_function getter([get](CaptureSelf self) { return get(*self); });
  if (set == nullptr) {
    cls.def_property_readonly(name, getter);
    return;
  }
  cls.def_property(name, getter,
                   py::cpp_function([set](CaptureSelf self, py::object v) { set(*self, v); }));
}

void def_lifecycle(CaptureClass& cls) {
  cls.def(
      "start",
      [](CaptureSelf self) {
        PythonThreads threads(*self, self.object);
        GilRelease nogil;
        return self->core->start(threads);
      },
      docs::kStart);
  cls.def(
      "stop", [](CaptureSelf self) { stop_capture(*self, self.object); }, docs::kStop);
  cls.def(
      "_capture_loop",
      [](CaptureSelf self) {
        std::shared_ptr<Capture> core = self->core;
        ActiveWorker active(core);
        GilRelease nogil;
        core->run_loop();
      },
      docs::kCaptureLoop);
  cls.def(
      "__del__",
      [](py::handle self) {
        // A failed construction leaves no capture to stop.
        if (!py::isinstance<PyCapture>(self))
          throw py::type_error("a ParallVideoCapture is required");
        if (!is_constructed(self)) return;
        stop_capture(unwrap(self), self);
      },
      docs::kDel);
  cls.def(
      "is_running", [](CaptureSelf self) { return self->core->running(); }, docs::kIsRunning);
  cls.def(
      "is_paused", [](CaptureSelf self) { return self->core->paused(); }, docs::kIsPaused);
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
        if (!core.ready_to_seek()) return false;
        // Integers within 64 bits and floats are checked and stored by the core. Other
        // values are range-checked the way Python compares them, so a value that cannot
        // be compared with integers fails with the caller's own error, and one that
        // compares but does not fit (a huge integer) is refused with the range message.
        bool native_kind = PyFloat_CheckExact(frame_number.ptr());
        if (PyLong_CheckExact(frame_number.ptr())) {
          int overflow = 0;
          PyLong_AsLongLongAndOverflow(frame_number.ptr(), &overflow);
          native_kind = overflow == 0;
        }
        // Other kinds are logged in their own text form ("True", "21/2").
        std::string label;
        if (!native_kind) {
          label = text_from_python(py::str(frame_number));
          const std::int64_t frame_count = core.properties().frame_count;
          if (frame_number < py::int_(0) || frame_number >= py::int_(frame_count)) {
            core.logger().error("帧号 " + label + " 超出范围 [0, " + std::to_string(frame_count - 1) +
                                "]");
            return false;
          }
        }
        const Number target = number_from_python(frame_number);
        GilRelease nogil;
        return core.seek(target, label);
      },
      py::arg("frame_number"), docs::kSeek);
}

void def_frame_access(CaptureClass& cls) {
  cls.def(
      "get_frame",
      [](CaptureSelf self, py::object wait_for_frame, py::object timeout) -> py::object {
        const double seconds = PyFloat_AsDouble(timeout.ptr());
        if (seconds == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        const int wait = PyObject_IsTrue(wait_for_frame.ptr());
        if (wait < 0) throw py::error_already_set();
        if (wait) check_timeout(seconds);
        auto current =
            copy_current_frame(*self->core, wait ? std::optional<double>(seconds) : std::nullopt);
        if (!current) return py::none();
        return current->second;
      },
      py::arg("wait_for_frame") = false, py::arg("timeout") = 0.1, docs::kGetFrame);
  cls.def(
      "get_frame_with_number",
      [](CaptureSelf self) {
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
        info["width"] = p.width;
        info["height"] = p.height;
        info["fps"] = to_python(p.fps);
        info["frame_count"] = p.frame_count;
        info["duration"] = to_python(p.duration);
        info["is_running"] = core.running();
        info["is_paused"] = core.paused();
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
    c.core->set_source(std::make_shared<SourceHandle>(std::make_unique<PythonSource>(value)));
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
  def_attribute(cls, "video_path", [](PyCapture& c) { return c.video_path; });
  def_attribute(
      cls, "auto_reload", [](PyCapture& c) { return c.auto_reload; },
      [](PyCapture& c, py::object v) {
        const int truth = PyObject_IsTrue(v.ptr());
        if (truth < 0) throw py::error_already_set();
        c.auto_reload = v;
        c.core->set_auto_reload(truth == 1);
      });
  def_attribute(cls, "cap", source_object, set_source_object);
  def_attribute(cls, "frame", frame_object, set_frame_object);
  def_attribute(
      cls, "running", [](PyCapture& c) -> py::object { return py::bool_(c.core->running()); },
      [](PyCapture& c, py::object v) { c.core->set_running(py::bool_(v)); });
  def_attribute(cls, "thread", [](PyCapture& c) { return c.thread; });
  def_attribute(cls, "lock", [](PyCapture& c) { return c.lock_object; });
  def_attribute(
      cls, "paused", [](PyCapture& c) -> py::object { return py::bool_(c.core->paused()); },
      [](PyCapture& c, py::object v) { c.core->set_paused(py::bool_(v)); });
  def_attribute(cls, "frame_count", [](PyCapture& c) -> py::object {
    return py::int_(c.core->properties().frame_count);
  });
  def_attribute(cls, "fps", [](PyCapture& c) { return to_python(c.core->properties().fps); });
  def_attribute(cls, "width",
                [](PyCapture& c) -> py::object { return py::int_(c.core->properties().width); });
  def_attribute(cls, "height",
                [](PyCapture& c) -> py::object { return py::int_(c.core->properties().height); });
  def_attribute(cls, "duration",
                [](PyCapture& c) { return to_python(c.core->properties().duration); });
  def_attribute(
      cls, "current_frame_number",
      [](PyCapture& c) { return to_python(c.core->current_frame_number()); },
      [](PyCapture& c, py::object v) { c.core->set_current_frame_number(number_from_python(v)); });
  def_attribute(cls, "frame_ready", [](PyCapture& c) { return c.event_object; });
}

}  // namespace

void register_capture(py::module_& m, const ModuleServices& services) {
  CaptureClass cls(m, "ParallVideoCapture");

  cls.def(py::init([services](py::object video_path, py::object auto_reload) {
            if (!PyUnicode_CheckExact(video_path.ptr())) {
              throw py::type_error(std::string("video_path must be str, not ") +
                                   Py_TYPE(video_path.ptr())->tp_name);
            }
            const bool reload = PyObject_IsTrue(auto_reload.ptr()) == 1;
            if (PyErr_Occurred()) throw py::error_already_set();
            auto self = std::make_unique<PyCapture>();
            self->services = services;
            self->video_path = video_path;
            self->auto_reload = auto_reload;
            self->core = std::make_shared<Capture>(text_from_python(video_path), reload,
                                                   services.opener, services.logger);
            self->lock_object = make_lock_object(self->core);
            self->event_object = make_event_object(self->core);
            return self;
          }),
          py::arg("video_path"), py::arg("auto_reload") = true);

  def_lifecycle(cls);
  def_playback_control(cls);
  def_frame_access(cls);
  def_attributes(cls);
}

}  // namespace corvane::video::bindings
