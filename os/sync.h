// Waitable objects and the waits on them: events, mutexes (unnamed and named), and readable
// descriptors, waited for one or several at a time, optionally alertable (APCs queued for the
// waiting thread run inside the wait).
//
// Events are eventfds; an unnamed mutex is an eventfd used as a binary semaphore with an owning
// thread and a recursion count; a named mutex is the lock file of os::NamedMutex with the same
// owner bookkeeping (so two threads sharing one object exclude each other as well). A named
// mutex cannot be polled: waits that include one look at it again after short, growing pauses
// (at most 50 ms). A thread that ends while it owns mutexes lets them go, as a process that
// dies lets go of its named mutexes: the next waiter acquires such an abandoned mutex as it
// acquires a free one (WAIT_OBJECT_0).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "os/error.h"
#include "os/handle.h"
#include "os/named_mutex.h"

namespace os {

inline constexpr std::uint32_t WAIT_IO_COMPLETION = 0xC0;
inline constexpr std::uint32_t MAXIMUM_WAIT_OBJECTS = 64;

class SyncObject {
public:
  SyncObject();
  SyncObject(SyncObject&&) noexcept;
  SyncObject& operator=(SyncObject&&) noexcept;
  ~SyncObject();

  // An event: a manual-reset event stays signalled until reset; an auto-reset event releases one
  // wait and is reset by it.
  static Result<SyncObject> createEvent(bool manualReset, bool initialState);
  // A mutex of this process, owned by the calling thread when initiallyOwned.
  static Result<SyncObject> createMutex(bool initiallyOwned);
  // A named mutex that every account can open (see os::NamedMutex). With initiallyOwned the
  // calling thread takes it if it is free at once.
  static Result<SyncObject> openNamedMutex(const std::string& runDirectory, std::u16string_view name,
                                           bool initiallyOwned);
  // A handle, owned from now on, that counts as signalled while it is readable (the exit
  // handle of a process, for example). Waiting does not consume anything.
  static SyncObject adoptReadable(Handle handle);

  bool valid() const { return impl_ != nullptr; }

  // Each fails with invalidHandle on an object of another kind; releaseMutex fails with err::notOwner
  // when the calling thread does not own the mutex.
  [[nodiscard]] std::uint32_t setEvent();
  [[nodiscard]] std::uint32_t resetEvent();
  [[nodiscard]] std::uint32_t releaseMutex();

  class Impl;

private:
  friend Result<std::uint32_t> waitForObjects(std::span<SyncObject* const>, bool, std::uint32_t,
                                              bool);
  explicit SyncObject(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Waits until one of the objects (waitAll: all of them at once) is signalled, the timeout (in
// milliseconds, INFINITE_WAIT: none) has passed, or, when alertable, calls queued for the calling
// thread have run. Returns WAIT_OBJECT_0 + index of the object acquired (WAIT_OBJECT_0 for
// waitAll), WAIT_TIMEOUT or WAIT_IO_COMPLETION. A wait for all never keeps some objects while it
// waits for the others. Fails with invalidParameter for no objects, more than
// MAXIMUM_WAIT_OBJECTS or an empty object. An exception thrown by a queued call leaves the wait
// with no object acquired.
Result<std::uint32_t> waitForObjects(std::span<SyncObject* const> objects, bool waitAll,
                                     std::uint32_t timeoutMs, bool alertable);

// A duplicate of the handle (not inherited by programs the process starts).
Result<Handle> duplicateHandle(NativeHandle handle);

} // namespace os
