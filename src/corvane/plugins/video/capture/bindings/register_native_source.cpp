// The object a capture shows as `cap` while it reads a native source: the methods of a
// cv2.VideoCapture that make sense on a capture its worker owns, serialised with the
// worker's own calls and run without the GIL. `open` is left out (it would swap the
// source under the worker), and so is the static `waitAny`.
#include <opencv2/videoio.hpp>

#include "core/errors.hpp"
#include "core/native_calls.hpp"
#include "core/opencv_source.hpp"
#include "gil.hpp"
#include "python_objects.hpp"
#include "register.hpp"

namespace py = pybind11;

namespace corvane::video::bindings {

namespace {

struct NativeSource {
  std::shared_ptr<SourceHandle> handle;
};

// Runs f(cv::VideoCapture&) without the GIL, with the source to itself.
template <typename F>
auto with_capture(const NativeSource& self, F&& f) {
  GilRelease nogil;
  SourceHandle::Session session(*self.handle);
  auto* native = dynamic_cast<OpenCvSource*>(&session.source());
  if (native == nullptr) throw VideoError("not a native source");
  // A call into OpenCV, which exit lets finish within the source's bound (native_calls.hpp).
  NativeCall counted(native->call_bound());
  return f(native->native());
}

py::tuple frame_result(bool ok, const cv::Mat& image) {
  if (!ok || image.empty()) return py::make_tuple(ok, py::none());
  return py::make_tuple(true, mat_to_array(image, true));
}

}  // namespace

void register_native_source(py::module_& m) {
  py::class_<NativeSource>(m, "_NativeVideoCapture", "A video source decoded natively.")
      .def("isOpened",
           [](const NativeSource& self) {
             GilRelease nogil;
             return self.handle->is_opened();
           })
      .def("read",
           [](const NativeSource& self) -> py::tuple {
             Frame frame;
             bool ok;
             {
               GilRelease nogil;
               ok = self.handle->read(frame);
             }
             if (!ok) return py::make_tuple(false, py::none());
             return py::make_tuple(true, mat_to_array(frame.image, true));
           })
      .def("grab",
           [](const NativeSource& self) {
             return with_capture(self, [](cv::VideoCapture& c) { return c.grab(); });
           })
      .def(
          "retrieve",
          [](const NativeSource& self, py::object, int flag) {
            cv::Mat image;
            const bool ok =
                with_capture(self, [&](cv::VideoCapture& c) { return c.retrieve(image, flag); });
            return frame_result(ok, image);
          },
          py::arg("image") = py::none(), py::arg("flag") = 0)
      .def("get",
           [](const NativeSource& self, int property) {
             GilRelease nogil;
             return self.handle->get(property).to_double();
           })
      .def("set",
           [](const NativeSource& self, int property, double value) {
             GilRelease nogil;
             return self.handle->set(property, Number::real(value));
           })
      .def("getBackendName",
           [](const NativeSource& self) {
             return with_capture(self, [](cv::VideoCapture& c) { return c.getBackendName(); });
           })
      .def("getExceptionMode",
           [](const NativeSource& self) {
             return with_capture(self, [](cv::VideoCapture& c) { return c.getExceptionMode(); });
           })
      .def("setExceptionMode",
           [](const NativeSource& self, bool enable) {
             with_capture(self, [&](cv::VideoCapture& c) {
               c.setExceptionMode(enable);
               return 0;
             });
           })
      .def("release", [](const NativeSource& self) {
        GilRelease nogil;
        self.handle->release();
      });
}

py::object make_native_source_object(std::shared_ptr<SourceHandle> source) {
  return py::cast(NativeSource{std::move(source)});
}

std::shared_ptr<SourceHandle> native_source_of(py::handle object) {
  if (!py::isinstance<NativeSource>(object)) return nullptr;
  return object.cast<const NativeSource&>().handle;
}

}  // namespace corvane::video::bindings
