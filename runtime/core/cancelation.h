// Per-thread cancellation: each thread keeps a stack of cancellation points, and a cancel request
// ends the thread at the innermost point that honours it.
//
// Ending a thread. Linux offers no safe way to end another thread, and pthread_exit's forced
// unwinding would be swallowed (and abort the process) at the first catch-all that does not
// rethrow, which every guarded operation has. So performing a cancellation throws
// ThreadCanceled, a type deliberately outside the vexception family: guarded operations let it
// pass untouched (no context, no conversion), C++ destructors run as for any exception, and the
// thread's entry in VThread ends the thread when it arrives. Code that catches everything
// without rethrowing keeps the thread alive; a cancellation that was performed is not performed
// again for the same point.
//
// Modes. A synchronous point (1) performs a requested cancellation when it is destroyed. An
// asynchronous point (0) also queues an APC to its thread, so a cancel interrupts the thread's
// next (or current) alertable wait. A point created while an enclosing point has a pending
// request inherits the request, so a cancel that arrives just before a wait starts still
// interrupts that wait.
#pragma once

#include <cstdint>
#include <memory>

#include "os/thread.h"

namespace ThreadCancelation {

enum Mode : int { ASYNCHRONOUS = 0, SYNCHRONOUS = 1 };

// What performing a cancellation throws; see above.
class ThreadCanceled {};

class CancelationPoint {
public:
  // Registers the point as the calling thread's current one (the first point of the process
  // makes the registry, which needs nothing of the host). An asynchronous point throws "Unable
  // to duplicate handle" when the thread's APC queue cannot be created.
  explicit CancelationPoint(int mode);
  CancelationPoint(const CancelationPoint&) = delete;
  CancelationPoint& operator=(const CancelationPoint&) = delete;

  // Unregisters the point and makes the previous one current again. If a cancellation was
  // requested and not yet performed, performs it by throwing ThreadCanceled; while an exception
  // already leaves the point, hands the request on to the previous point instead.
  virtual ~CancelationPoint() noexcept(false);

  // The calling thread's current point, or null.
  static const CancelationPoint* current();

  struct State;

private:
  friend bool cancelThread(std::uint32_t threadId);
  // Marks the request and queues the APC; the caller holds the registry's lock.
  void requestLocked();

  std::shared_ptr<State> state_;
  CancelationPoint* previous_;
  int mode_;
  std::uint32_t threadId_;
  int exceptionsAtCreation_;
  os::ThreadRef thread_;
};

// Requests the cancellation of every live point of the thread (by its kernel thread id).
// Returns false when the thread has none.
bool cancelThread(std::uint32_t threadId);

} // namespace ThreadCancelation
