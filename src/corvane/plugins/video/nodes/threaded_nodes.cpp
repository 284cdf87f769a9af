// CreateThreadedVideoCapture and ReadThreadedFrame: put a ParallVideoCapture into a tree. The
// first builds and starts one from a configuration mapping and outputs it; the second outputs
// a copy of its latest frame on every tick, without waiting for the source.
//
// The ticks catch nothing: an error of the node handle, of the configuration object or of the
// capture leaves the tick as it was raised. Every tick that completes returns SUCCESS, also
// after logging a problem; the problem shows in the log and in the output left unwritten.
#include "node_support.h"
#include "nodes_registration.h"

namespace corvane::video::nodes {

namespace {

py::object create_threaded_video_capture(const py::module_& module, const py::object& node) {
  py::object config = node.attr("getInputObject")("config");
  if (config.is_none()) {
    // Only the identity test: an empty mapping is a configuration with every default.
    py::object error = logger_method(module, "error");
    error(join_text(py::str(module.attr("__file__")), py::str(" : 配置为空")));
    return success(module);
  }
  py::object video_source = config.attr("get")("video_source", "");
  py::object auto_reload = config.attr("get")("auto_reload", true);
  py::object video_capture = module.attr("ParallVideoCapture")(video_source, auto_reload);
  if (truthy(video_capture.attr("start")())) {
    node.attr("setOutput")("video_capture", video_capture);
    return success(module);
  }
  // The capture has logged why it failed; this line names the source the tree asked for.
  // The object is dropped without further calls.
  py::object error = logger_method(module, "error");
  error(text_after("视频加载失败，请检查路径是否正确: ", video_source));
  return success(module);
}

py::object read_threaded_frame(const py::module_& module, const py::object& node) {
  py::object video_capture = node.attr("getInputObject")("video_capture");
  if (!truthy(video_capture.attr("is_running")())) {
    py::object warning = logger_method(module, "warning");
    warning(text_after("视频未启动: ", video_capture.attr("video_path")));
    return success(module);
  }
  // Defaults of get_frame: no waiting, so the tick never blocks on decoding.
  py::object frame = video_capture.attr("get_frame")();
  if (frame.is_none()) {
    py::object warning = logger_method(module, "warning");
    warning(text_after("无法读取视频帧: ", video_capture.attr("video_path")));
    return success(module);
  }
  node.attr("setOutput")("frame", frame);
  return success(module);
}

}  // namespace

void register_threaded_nodes(py::module_& module) {
  add_node_class(module, "CreateThreadedVideoCapture",
                 {{"config", "object", "input"}, {"video_capture", "object", "output"}},
                 create_threaded_video_capture);
  add_node_class(module, "ReadThreadedFrame",
                 {{"video_capture", "object", "input"}, {"frame", "object", "output"}},
                 read_threaded_frame);
}

}  // namespace corvane::video::nodes
