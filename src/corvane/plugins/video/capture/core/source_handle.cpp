// SourceHandle: serialised calls and a release that never waits for a hung call.
#include "source_handle.hpp"

#include "errors.hpp"

namespace corvane::video {

SourceHandle::SourceHandle(std::unique_ptr<VideoSource> source) : source_(std::move(source)) {}

namespace {

// Holds a source's operation lock taken with try_acquire, until the end of the scope.
class Taken {
 public:
  explicit Taken(Lock& lock) : lock_(lock), owns_(lock.try_acquire()) {}
  ~Taken() {
    if (owns_) lock_.release();
  }
  Taken(const Taken&) = delete;
  Taken& operator=(const Taken&) = delete;
  bool owns() const { return owns_; }

 private:
  Lock& lock_;
  const bool owns_;
};

}  // namespace

SourceHandle::Session::Session(SourceHandle& handle, Interruption* interruption)
    : handle_(handle), owns_(true) {
  handle_.op_lock_.acquire(interruption);  // throws with nothing taken when interrupted
  handle_.owner_.store(std::this_thread::get_id());
}

SourceHandle::Session::Session(SourceHandle& handle, std::try_to_lock_t)
    : handle_(handle), owns_(handle.op_lock_.try_acquire()) {
  if (owns_) handle_.owner_.store(std::this_thread::get_id());
}

SourceHandle::Session::~Session() {
  if (!owns_) return;
  handle_.owner_.store(std::thread::id());
  handle_.op_lock_.release();
  handle_.finish_pending_release();
}

void SourceHandle::wait_until_idle(Interruption* interruption) {
  Session wait_for_turn(*this, interruption);
}

bool SourceHandle::is_opened() {
  Session s(*this);
  return s.source().is_opened();
}

bool SourceHandle::read(Frame& out) {
  Session s(*this);
  return s.source().read(out);
}

Number SourceHandle::get(int property) {
  Session s(*this);
  return s.source().get(property);
}

bool SourceHandle::set(int property, const Number& value) {
  Session s(*this);
  return s.source().set(property, value);
}

void SourceHandle::release() {
  // A release asked for from inside a call on this source (the source calling back into
  // its capture) must not wait for the call it is part of: a read or another call leaves
  // it to the moment that call returns, and a release in progress needs no second one.
  if (busy_on_this_thread()) {
    if (!releasing_) release_pending_.store(true);
    return;
  }
  // Record the request first: a thread that unlocks after this point sees it.
  release_pending_.store(true);
  LogHold hold;  // a host source's release may call back into its capture
  Taken lock(op_lock_);
  if (!lock.owns()) return;  // the thread inside a call releases when it leaves
  if (!release_pending_.exchange(false)) return;
  // Marked as a call of this thread, so that what the source's release calls back finds
  // the source busy instead of waiting for it.
  owner_.store(std::this_thread::get_id());
  releasing_ = true;
  struct Done {
    SourceHandle& handle;
    ~Done() {
      handle.releasing_ = false;
      handle.owner_.store(std::thread::id());
    }
  } done{*this};
  source_->release();
}

void SourceHandle::finish_pending_release() noexcept {
  while (release_pending_.load()) {
    LogHold hold;
    Taken lock(op_lock_);
    if (!lock.owns()) return;  // whoever holds it now will see the request
    if (!release_pending_.exchange(false)) return;
    owner_.store(std::this_thread::get_id());
    releasing_ = true;
    try {
      source_->release();
    } catch (const std::exception&) {
      // No caller is waiting for this release; the source is gone either way.
    } catch (const Interrupt&) {
    }
    releasing_ = false;
    owner_.store(std::thread::id());
    return;
  }
}

}  // namespace corvane::video
