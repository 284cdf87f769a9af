// Capture's playback control: pause, resume and seek.
#include <opencv2/videoio.hpp>
#include <utility>

#include "capture.hpp"
#include "errors.hpp"

namespace corvane::video {

void Capture::pause() {
  if (running() && !paused()) {
    set_paused(true);
    logger_->info("视频捕获已暂停");
  }
}

void Capture::resume() {
  if (running() && paused()) {
    set_paused(false);
    logger_->info("视频捕获已恢复");
  }
}

void Capture::set_paused(bool v) {
  paused_.store(v);
  paused_writes_.fetch_add(1);
  wake_waiters();
}

bool Capture::seek(const Number& frame_number, Interruption* interruption) {
  auto src = source();
  if (!src || !running()) {
    logger_->error("视频未运行，无法跳转");
    return false;
  }
  const Number frame_count = properties().frame_count;
  if (frame_number.less_than(Number::integer(0)) || !frame_number.less_than(frame_count)) {
    logger_->error("帧号 " + logger_->text(frame_number) + " 超出范围 [0, " +
                   logger_->text(frame_count.minus_one()) + "]");
    return false;
  }
  try {
    // What the seek replaces goes only after the lock and the source: a host frame or
    // number may need the host.
    Published replaced;
    std::shared_ptr<SourceHandle> taken;  // outlives the session on it
    LockGuard guard(lock_, std::defer_lock);
    std::optional<SourceHandle::Session> session;
    take_lock_and_source(guard, taken, session, interruption);
    session->source().set(cv::CAP_PROP_POS_FRAMES, frame_number);
    Frame frame;
    if (session->source().read(frame)) {
      replaced = publish_seek(frame_number, std::move(frame), session->source().position_msec());
      logger_->info("已跳转到帧 " + logger_->text(frame_number));
      return true;
    }
    logger_->error("跳转到帧 " + logger_->text(frame_number) + " 失败");
    return false;
  } catch (const std::exception& e) {
    logger_->error("跳转帧时发生错误: " + logger_->describe(e));
    return false;
  }
}

void Capture::take_lock_and_source(LockGuard& guard, std::shared_ptr<SourceHandle>& src,
                                   std::optional<SourceHandle::Session>& session,
                                   Interruption* interruption) {
  // The lock first, then the source, taken only when it is free: waiting for the source
  // (a read of the worker that hangs on a dead stream) while holding the lock would hold
  // up every reader. So the seek waits for the source with the lock given back.
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
    src->wait_until_idle();
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
