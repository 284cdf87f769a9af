// CreateVideoCapture and ReadFrame: a plain OpenCV VideoCapture in a tree, with no worker
// thread. The first opens one on its source string and outputs it; the second decodes one
// frame per tick on the tick thread and outputs it without a copy.
//
// The ticks catch nothing and never release a capture; every tick that completes returns
// SUCCESS, also after logging a problem.
#include "node_support.h"
#include "nodes_registration.h"

namespace corvane::video::nodes {

namespace {

constexpr const char* kOpenFailed = "视频加载失败，请检查路径是否正确";

// The read result's unpacking helper, made by register_direct_nodes at module import
// (never in a C++ static initialiser) and kept for the life of the process.
PyObject* pair_unpacker = nullptr;

// A string that cannot be encoded as UTF-8 (it holds a lone surrogate) names no source
// OpenCV can open, and OpenCV's own binding does not survive being given one.
bool unencodable(const py::object& text) {
  if (!PyUnicode_Check(text.ptr())) return false;
  if (PyUnicode_AsUTF8AndSize(text.ptr(), nullptr) != nullptr) return false;
  PyErr_Clear();
  return true;
}

py::object create_video_capture(const py::module_& module, const py::object& node) {
  py::object video_source = node.attr("getInputString")("video_source");
  if (unencodable(video_source)) {
    logger_method(module, "error")(kOpenFailed);
    return success(module);
  }
  // Through the module's own cv2 attribute, so a replaced VideoCapture is the one used.
  py::object video_capture = module.attr("cv2").attr("VideoCapture")(video_source);
  if (truthy(video_capture.attr("isOpened")())) {
    node.attr("setOutput")("video_capture", video_capture);
    return success(module);
  }
  logger_method(module, "error")(kOpenFailed);
  return success(module);
}

py::object read_frame(const py::module_& module, const py::object& node) {
  // No test for none: with nothing on the input, calling isOpened raises.
  py::object video_capture = node.attr("getInputObject")("video_capture");
  if (!truthy(video_capture.attr("isOpened")())) {
    logger_method(module, "error")(kOpenFailed);
    return success(module);
  }
  auto [ret, frame] = unpack_pair(pair_unpacker, video_capture.attr("read")());
  if (!truthy(ret)) {
    logger_method(module, "error")("无法读取视频帧");
    return success(module);
  }
  // The output is addressed by its typed key; the host maps it onto the "frame" port.
  node.attr("setOutput")("out:object:frame", frame);
  return success(module);
}

}  // namespace

void register_direct_nodes(py::module_& module) {
  pair_unpacker = make_pair_unpacker().release().ptr();
  add_node_class(module, "CreateVideoCapture",
                 {{"video_source", "string", "input"}, {"video_capture", "object", "output"}},
                 create_video_capture);
  add_node_class(module, "ReadFrame",
                 {{"video_capture", "object", "input"}, {"frame", "object", "output"}}, read_frame);
}

}  // namespace corvane::video::nodes
