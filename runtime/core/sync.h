// Owning wrappers of waitable objects, and the alertable waits that are cancellation points.
//
// Named objects: a named mutex is the lock file of os::NamedMutex under the run directory, which
// every account can open (so no security descriptor is built for it). Events have no names: no
// command path shares an event between processes.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "os/error.h"
#include "os/sync.h"

class VSyncObject {
public:
  VSyncObject(const VSyncObject&) = delete;
  VSyncObject& operator=(const VSyncObject&) = delete;
  virtual ~VSyncObject() = default;

  // Waits up to timeoutMs (os::INFINITE_WAIT: forever) as an asynchronous cancellation point.
  // APCs that run during the wait do not end it early: it goes on with the time that is left.
  // Returns WAIT_OBJECT_0 or WAIT_TIMEOUT; a failed wait throws "Wait for single object".
  virtual std::uint32_t waitForSingleObject(std::uint32_t timeoutMs);
  // Gives the object back (releases a mutex, resets an event).
  virtual void unlock() = 0;

  // True when the object was acquired, false on a timeout; an unexpected wait result throws
  // "Lock object".
  bool lock(std::uint32_t timeoutMs);

  os::SyncObject& handle() { return handle_; }

protected:
  VSyncObject() = default;
  os::SyncObject handle_;
};

class VMutex : public VSyncObject {
public:
  // Creates a mutex of this process, or opens (creating) the named one; throws "Create mutex"
  // or "Create mutex with name '<name>'".
  explicit VMutex(bool initiallyOwned, std::u16string_view name = {});
  // Throws "ReleaseMutex" (for instance when the calling thread does not own it).
  void unlock() override;
};

class VEvent : public VSyncObject {
public:
  // Throws "Create event".
  VEvent(bool manualReset, bool initialState);
  // Resets the event; throws "ResetEvent".
  void unlock() override;
  // Signals the event; throws "SetEvent".
  void set();
};

// Waits for any (waitAll: all) of the objects as VSyncObject::waitForSingleObject waits for
// one. Returns the wait result (WAIT_OBJECT_0 + index, WAIT_TIMEOUT) without raising: a failed
// wait is returned as the failure's code.
os::Result<std::uint32_t> waitForMultipleObjects(std::span<VSyncObject* const> objects, bool waitAll,
                                                 std::uint32_t timeoutMs);
