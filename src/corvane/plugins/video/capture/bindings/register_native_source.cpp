// The object a capture shows as `cap` while it reads a native source: the source's
// methods under the names a cv2.VideoCapture has, serialised with the worker's own
// calls and run without the GIL.
#include "core/errors.hpp"
#include "gil.hpp"
#include "python_objects.hpp"
#include "register.hpp"

namespace py = pybind11;

namespace corvane::video::bindings {

namespace {

struct NativeSource {
  std::shared_ptr<SourceHandle> handle;
};

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
