// Capture's playback control: pause, resume and seek.
#include <opencv2/videoio.hpp>
#include <utility>

#include "capture.hpp"
#include "errors.hpp"

namespace corvane::video {

void Capture::pause() {
  if (running() && !paused()) {
    set_paused(true);
    log_.info("视频捕获已暂停");
  }
}

void Capture::resume() {
  if (running() && paused()) {
    set_paused(false);
    log_.info("视频捕获已恢复");
  }
}

void Capture::set_paused(bool v) {
  paused_.store(v);
  paused_writes_.fetch_add(1);
  wake_waiters();
}

bool Capture::seek(const Number& frame_number, Interruption* interruption) {
  if (!source() || !running()) {
    log_.error("视频未运行，无法跳转");
    return false;
  }
  const Number frame_count = properties().frame_count;
  if (frame_number.less_than(Number::integer(0)) || !frame_number.less_than(frame_count)) {
    log_.line(CaptureLog::Level::kError, [frame_number, frame_count](Logger& logger) {
      return "帧号 " + logger.text(frame_number) + " 超出范围 [0, " +
             logger.text(frame_count.minus_one()) + "]";
    });
    return false;
  }
  // The lines are written once the lock and the source have been let go.
  try {
    if (seek_and_read(frame_number, interruption)) {
      log_.line(CaptureLog::Level::kInfo, [frame_number](Logger& logger) {
        return "已跳转到帧 " + logger.text(frame_number);
      });
      return true;
    }
    log_.line(CaptureLog::Level::kError, [frame_number](Logger& logger) {
      return "跳转到帧 " + logger.text(frame_number) + " 失败";
    });
    return false;
  } catch (const std::exception&) {
    log_.error("跳转帧时发生错误: ", std::current_exception());
    return false;
  }
}

bool Capture::seek_and_read(const Number& frame_number, Interruption* interruption) {
  // What the seek replaces goes only after the lock and the source: a host frame or
  // number may need the host.
  Published replaced;
  std::shared_ptr<SourceHandle> src;  // outlives the session on it, and the lock
  HeldLockGuard guard(lock_, std::defer_lock);
  std::optional<SourceHandle::Session> session;
  take_lock_and_source(guard, src, session, interruption);
  session->source().set(cv::CAP_PROP_POS_FRAMES, frame_number);
  Frame frame;
  if (!session->source().read(frame)) return false;
  replaced = publish_seek(frame_number, std::move(frame), session->source().position_msec());
  return true;
}

void Capture::take_lock_and_source(HeldLockGuard& guard, std::shared_ptr<SourceHandle>& src,
                                   std::optional<SourceHandle::Session>& session,
                                   Interruption* interruption) {
  // The lock first, then the source, taken only when it is free: waiting for the source
  // (a read of the worker that hangs on a dead stream) while holding the lock would hold
  // up every reader. So the seek waits for the source with the lock given back, and
  // either wait gives way to an interruption with nothing taken.
  for (;;) {
    // A seek from inside the set or read of a seek in progress on this thread would
    // wait for the lock it holds itself: refuse it before taking the lock.
    if (auto current = source(); current && current->busy_on_this_thread()) {
      throw VideoError("seek called from inside a call on the source");
    }
    if (lock_.held_by_this_thread()) throw VideoError("seek called while holding the lock");
    guard.acquire(interruption);
    // Under the lock the source cannot be swapped by a re-open; use the current one.
    src = require_source("set");
    if (src->busy_on_this_thread()) {
      throw VideoError("seek called from inside a call on the source");
    }
    session.emplace(*src, std::try_to_lock);
    if (session->owns()) return;
    session.reset();
    guard.release();
    src->wait_until_idle(interruption);
  }
}

Capture::Published Capture::publish_seek(const Number& frame_number, Frame frame,
                                         std::optional<double> position) {
  Published replaced{std::nullopt, frame_number, {}};
  std::lock_guard<std::mutex> g(state_mutex_);
  replaced.frame = std::exchange(frame_, std::move(frame));
  replaced.info = std::exchange(frame_info_, FrameInfo{frame_number, Clock::now(), position});
  std::swap(current_frame_number_, replaced.number);
  ++seek_generation_;
  return replaced;
}

}  // namespace corvane::video
