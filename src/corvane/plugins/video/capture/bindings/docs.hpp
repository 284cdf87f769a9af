// Documentation texts of ParallVideoCapture's operations, exactly as users read them.
#pragma once

namespace corvane::video::bindings::docs {

inline constexpr const char* kStart = "启动视频捕获线程";
inline constexpr const char* kStop = "停止视频捕获线程";
inline constexpr const char* kPause = "暂停视频捕获";
inline constexpr const char* kResume = "恢复视频捕获";
inline constexpr const char* kSeek =
    "跳转到指定帧\n"
    "        \n"
    "        Args:\n"
    "            frame_number: 目标帧号\n"
    "            \n"
    "        Returns:\n"
    "            bool: 是否成功跳转\n"
    "        ";
inline constexpr const char* kCaptureLoop = "视频捕获循环";
inline constexpr const char* kGetFrame =
    "获取当前帧\n"
    "        \n"
    "        Args:\n"
    "            wait_for_frame: 是否等待新帧\n"
    "            timeout: 等待超时时间（秒）\n"
    "            \n"
    "        Returns:\n"
    "            numpy.ndarray: 当前帧，如果没有可用帧则返回None\n"
    "        ";
inline constexpr const char* kGetFrameWithNumber =
    "获取当前帧及其帧号\n"
    "        \n"
    "        Returns:\n"
    "            tuple: (帧号, 帧数据)，如果没有可用帧则返回(None, None)\n"
    "        ";
inline constexpr const char* kGetFrameWithInfo =
    "获取当前帧及其帧信息\n"
    "        \n"
    "        Args:\n"
    "            wait_for_frame: 是否等待新帧\n"
    "            timeout: 等待超时时间（秒）\n"
    "            \n"
    "        Returns:\n"
    "            tuple: (FrameInfo, 帧数据)，如果没有可用帧则返回(None, None)\n"
    "        ";
inline constexpr const char* kFrameInfo =
    "帧信息：number 为发布时的帧号，monotonic 为发布时刻（time.monotonic() 的时钟，秒），"
    "pos_msec 为读取该帧后视频源报告的位置（毫秒），无法获得时为None";
inline constexpr const char* kGetVideoInfo =
    "获取视频信息\n"
    "        \n"
    "        Returns:\n"
    "            dict: 包含视频信息的字典\n"
    "        ";
inline constexpr const char* kIsRunning = "检查视频捕获是否正在运行";
inline constexpr const char* kIsPaused = "检查视频捕获是否已暂停";
inline constexpr const char* kDel = "析构函数，确保资源被释放";

}  // namespace corvane::video::bindings::docs
