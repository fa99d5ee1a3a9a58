#include "os/sync.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <optional>
#include <vector>

#include "os/deadline.h"
#include "os/posix/apc.h"
#include "os/posix/errno_map.h"
#include "os/posix/fd.h"
#include "os/process.h"

namespace os {

// One waitable object. tryAcquire takes the object if it is signalled (consuming what the kind
// consumes); `readable` is what the last poll said about its descriptor.
class SyncObject::Impl {
public:
  virtual ~Impl() = default;
  // The descriptor to poll, or -1 when the object must be looked at again after a pause.
  virtual int descriptor() const { return -1; }
  virtual Result<bool> tryAcquire(bool readable) = 0;
  // Gives back what a successful tryAcquire took (a wait for all that could not take everything).
  virtual void undoAcquire() {}
  virtual std::uint32_t set() { return err::invalidHandle; }
  virtual std::uint32_t reset() { return err::invalidHandle; }
  virtual std::uint32_t release() { return err::invalidHandle; }
};

namespace {

using posix::Fd;

Result<Fd> makeEventFd(unsigned initial) {
  Fd fd(::eventfd(initial, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!fd.valid()) return Result<Fd>::failure(posix::win32FromErrno(errno));
  return fd;
}

// Takes the count of an eventfd; false when it was 0.
bool drain(int fd) {
  std::uint64_t count;
  for (;;) {
    if (::read(fd, &count, sizeof count) == sizeof count) return true;
    if (errno != EINTR) return false;
  }
}

std::uint32_t signal(int fd) {
  const std::uint64_t one = 1;
  while (::write(fd, &one, sizeof one) < 0)
    if (errno != EINTR) return posix::win32FromErrno(errno);
  return err::success;
}

class EventImpl : public SyncObject::Impl {
public:
  EventImpl(Fd fd, bool manualReset) : fd_(std::move(fd)), manualReset_(manualReset) {}
  int descriptor() const override { return fd_.get(); }
  Result<bool> tryAcquire(bool readable) override {
    return manualReset_ ? readable : drain(fd_.get());
  }
  void undoAcquire() override {
    if (!manualReset_) (void)set();
  }
  std::uint32_t set() override {
    // An eventfd counts; a set event that is set again stays set once.
    drain(fd_.get());
    return signal(fd_.get());
  }
  std::uint32_t reset() override {
    drain(fd_.get());
    return err::success;
  }

private:
  Fd fd_;
  bool manualReset_;
};

// The owner bookkeeping of both mutex kinds: the owning thread may take the mutex again and
// must release it as often as it took it. A thread that ends while it owns mutexes lets them
// go (OwnedMutexes below), as the death of a process lets go of its lock files: the next
// waiter acquires such an abandoned mutex like a free one.
class MutexState {
public:
  virtual ~MutexState() = default;
  virtual int descriptor() const { return -1; }
  Result<bool> tryAcquire(const std::shared_ptr<MutexState>& self);
  std::uint32_t release();
  // Called when the owning thread ends: gives the mutex up however often it was taken.
  void abandon(std::uint32_t thread);

protected:
  virtual Result<bool> rawTryAcquire() = 0;
  virtual std::uint32_t rawRelease() = 0;

private:
  std::mutex guard_;
  std::uint32_t owner_ = 0;
  std::uint32_t count_ = 0;
};

// Set once the calling thread's list below is gone (destructors of other thread-local objects
// may still take a mutex; it is then not tracked).
thread_local bool t_ownedMutexesGone = false;

// The mutexes the calling thread owns, given up when it ends.
class OwnedMutexes {
public:
  ~OwnedMutexes() {
    t_ownedMutexesGone = true;
    const std::uint32_t me = threadId();
    for (const std::weak_ptr<MutexState>& owned : owned_)
      if (std::shared_ptr<MutexState> mutex = owned.lock()) mutex->abandon(me);
  }
  void add(const std::shared_ptr<MutexState>& mutex) { owned_.push_back(mutex); }
  void remove(const MutexState* mutex) {
    std::erase_if(owned_, [&](const std::weak_ptr<MutexState>& owned) {
      std::shared_ptr<MutexState> live = owned.lock();
      return !live || live.get() == mutex;
    });
  }

private:
  std::vector<std::weak_ptr<MutexState>> owned_;
};

thread_local OwnedMutexes t_ownedMutexes;

Result<bool> MutexState::tryAcquire(const std::shared_ptr<MutexState>& self) {
  std::lock_guard lock(guard_);
  const std::uint32_t me = threadId();
  if (owner_ == me) {
    ++count_;
    return true;
  }
  if (owner_ != 0) return false;
  Result<bool> taken = rawTryAcquire();
  if (taken.ok() && taken.value()) {
    owner_ = me;
    count_ = 1;
    if (!t_ownedMutexesGone) t_ownedMutexes.add(self);
  }
  return taken;
}

std::uint32_t MutexState::release() {
  std::lock_guard lock(guard_);
  if (owner_ != threadId()) return err::notOwner;
  if (--count_ > 0) return err::success;
  owner_ = 0;
  if (!t_ownedMutexesGone) t_ownedMutexes.remove(this);
  return rawRelease();
}

void MutexState::abandon(std::uint32_t thread) {
  std::lock_guard lock(guard_);
  if (owner_ != thread) return;
  owner_ = 0;
  count_ = 0;
  (void)rawRelease();
}

// A process-local mutex: an eventfd holding 1 while the mutex is free.
class LocalMutexState : public MutexState {
public:
  explicit LocalMutexState(Fd fd) : fd_(std::move(fd)) {}
  int descriptor() const override { return fd_.get(); }

protected:
  Result<bool> rawTryAcquire() override { return drain(fd_.get()); }
  std::uint32_t rawRelease() override { return signal(fd_.get()); }

private:
  Fd fd_;
};

class NamedMutexState : public MutexState {
public:
  explicit NamedMutexState(NamedMutex mutex) : mutex_(std::move(mutex)) {}

protected:
  Result<bool> rawTryAcquire() override {
    Result<std::uint32_t> waited = mutex_.wait(0);
    if (!waited.ok()) return waited.error();
    return waited.value() == WAIT_OBJECT_0;
  }
  std::uint32_t rawRelease() override { return mutex_.release(); }

private:
  NamedMutex mutex_;
};

// A mutex as a waitable object. The state is shared with the owning thread's list, which may
// outlive the object.
class MutexImpl : public SyncObject::Impl {
public:
  explicit MutexImpl(std::shared_ptr<MutexState> state) : state_(std::move(state)) {}
  int descriptor() const override { return state_->descriptor(); }
  Result<bool> tryAcquire(bool) override { return state_->tryAcquire(state_); }
  void undoAcquire() override { (void)release(); }
  std::uint32_t release() override { return state_->release(); }

private:
  std::shared_ptr<MutexState> state_;
};

class ReadableImpl : public SyncObject::Impl {
public:
  explicit ReadableImpl(Fd fd) : fd_(std::move(fd)) {}
  int descriptor() const override { return fd_.get(); }
  Result<bool> tryAcquire(bool readable) override { return readable; }

private:
  Fd fd_;
};

// What a poll reports for a signalled descriptor: readable, or at its end.
bool signalled(const pollfd& entry) { return entry.revents & (POLLIN | POLLHUP | POLLERR); }

// Polls; an interrupted poll counts as one that found nothing.
std::uint32_t pollOnce(std::vector<pollfd>& entries, int waitMs) {
  if (::poll(entries.data(), entries.size(), waitMs) >= 0 || errno == EINTR) return err::success;
  return posix::win32FromErrno(errno);
}

// Takes every object or none.
Result<bool> tryAcquireAll(std::span<SyncObject::Impl* const> objects, const std::vector<pollfd>& polled) {
  for (std::size_t i = 0; i < objects.size(); ++i) {
    Result<bool> taken = objects[i]->tryAcquire(signalled(polled[i]));
    if (!taken.ok() || !taken.value()) {
      while (i-- > 0) objects[i]->undoAcquire();
      return taken;
    }
  }
  return true;
}

// The wait result if the objects can be taken now (WAIT_OBJECT_0 + index of the first one that
// could, or WAIT_OBJECT_0 for all of them), else nothing.
Result<std::optional<std::uint32_t>> tryAcquire(std::span<SyncObject::Impl* const> objects,
                                                const std::vector<pollfd>& polled, bool waitAll) {
  if (waitAll) {
    Result<bool> all = tryAcquireAll(objects, polled);
    if (!all.ok()) return all.error();
    return all.value() ? std::optional<std::uint32_t>(WAIT_OBJECT_0) : std::nullopt;
  }
  for (std::size_t i = 0; i < objects.size(); ++i) {
    Result<bool> taken = objects[i]->tryAcquire(signalled(polled[i]));
    if (!taken.ok()) return taken.error();
    if (taken.value()) return std::optional<std::uint32_t>(WAIT_OBJECT_0 + static_cast<std::uint32_t>(i));
  }
  return std::optional<std::uint32_t>();
}

} // namespace

SyncObject::SyncObject() = default;
SyncObject::SyncObject(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SyncObject::SyncObject(SyncObject&&) noexcept = default;
SyncObject& SyncObject::operator=(SyncObject&&) noexcept = default;
SyncObject::~SyncObject() = default;

Result<SyncObject> SyncObject::createEvent(bool manualReset, bool initialState) {
  Result<Fd> fd = makeEventFd(initialState ? 1 : 0);
  if (!fd.ok()) return fd.error();
  return SyncObject(std::make_unique<EventImpl>(std::move(fd.value()), manualReset));
}

Result<SyncObject> SyncObject::createMutex(bool initiallyOwned) {
  Result<Fd> fd = makeEventFd(1);
  if (!fd.ok()) return fd.error();
  SyncObject mutex(std::make_unique<MutexImpl>(std::make_shared<LocalMutexState>(std::move(fd.value()))));
  if (initiallyOwned) (void)mutex.impl_->tryAcquire(true);
  return mutex;
}

Result<SyncObject> SyncObject::openNamedMutex(const std::string& runDirectory,
                                              std::u16string_view name, bool initiallyOwned) {
  Result<NamedMutex> opened = NamedMutex::open(runDirectory, name);
  if (!opened.ok()) return opened.error();
  SyncObject mutex(std::make_unique<MutexImpl>(std::make_shared<NamedMutexState>(std::move(opened.value()))));
  if (initiallyOwned) {
    Result<bool> taken = mutex.impl_->tryAcquire(false);
    if (!taken.ok()) return taken.error();
  }
  return mutex;
}

SyncObject SyncObject::adoptReadable(Handle handle) {
  return SyncObject(std::make_unique<ReadableImpl>(posix::toFd(std::move(handle))));
}

std::uint32_t SyncObject::setEvent() { return impl_ ? impl_->set() : err::invalidHandle; }
std::uint32_t SyncObject::resetEvent() { return impl_ ? impl_->reset() : err::invalidHandle; }
std::uint32_t SyncObject::releaseMutex() { return impl_ ? impl_->release() : err::invalidHandle; }

Result<std::uint32_t> waitForObjects(std::span<SyncObject* const> objects, bool waitAll,
                                     std::uint32_t timeoutMs, bool alertable) {
  using Wait = Result<std::uint32_t>;
  if (objects.empty() || objects.size() > MAXIMUM_WAIT_OBJECTS) return Wait::failure(err::invalidParameter);
  std::vector<SyncObject::Impl*> impls;
  bool unpollable = false;
  for (SyncObject* object : objects) {
    if (!object || !object->impl_) return Wait::failure(err::invalidParameter);
    impls.push_back(object->impl_.get());
    unpollable = unpollable || impls.back()->descriptor() < 0;
  }
  Result<int> apcQueue = alertable ? posix::apcDescriptor() : Result<int>(-1);
  if (!apcQueue.ok()) return apcQueue.error();
  const int apc = apcQueue.value();

  const Deadline deadline(timeoutMs);
  // One entry per object (-1 for one that cannot be polled) and the APC queue's descriptor last.
  std::vector<pollfd> polled(impls.size() + 1);
  int pauseMs = 1;
  for (;;) {
    for (std::size_t i = 0; i < impls.size(); ++i) polled[i] = {impls[i]->descriptor(), POLLIN, 0};
    polled.back() = {apc, POLLIN, 0};
    if (std::uint32_t rc = pollOnce(polled, 0)) return Wait::failure(rc);
    if (alertable && signalled(polled.back()) && posix::runQueuedApcs()) return WAIT_IO_COMPLETION;
    Result<std::optional<std::uint32_t>> taken = tryAcquire(impls, polled, waitAll);
    if (!taken.ok()) return taken.error();
    if (taken.value()) return *taken.value();
    int waitMs = -1;
    if (!deadline.infinite()) {
      const std::uint32_t remaining = deadline.remainingMs();
      if (remaining == 0) return WAIT_TIMEOUT;
      waitMs = static_cast<int>(std::min<std::uint32_t>(remaining, INT32_MAX));
    }
    // Sleep until something may have changed. A wait for all leaves out the objects that are
    // signalled already, so that they do not keep waking it, and looks again after a pause in
    // case one of them is taken meanwhile.
    bool pause = unpollable;
    if (waitAll)
      for (std::size_t i = 0; i < impls.size(); ++i)
        if (signalled(polled[i])) {
          polled[i].fd = -1;
          pause = true;
        }
    if (pause) {
      waitMs = waitMs < 0 ? pauseMs : std::min(waitMs, pauseMs);
      pauseMs = std::min(pauseMs * 2, 50);
    }
    if (std::uint32_t rc = pollOnce(polled, waitMs)) return Wait::failure(rc);
  }
}

Result<Handle> duplicateHandle(NativeHandle handle) {
  Fd copy(::fcntl(posix::fdOf(handle), F_DUPFD_CLOEXEC, 0));
  if (!copy.valid()) return Result<Handle>::failure(posix::win32FromErrno(errno));
  return posix::toHandle(std::move(copy));
}

} // namespace os
