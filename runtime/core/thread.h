// Threads owned by the program, and the worker thread that bounds a path resolution in time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "os/error.h"

// A thread running a body whose result is its exit code. The body runs inside a synchronous
// cancellation point, so a cancellation requested for the thread reaches every point it opens
// later; a body ended by its cancellation exits with code 995 (operation aborted). Any other
// exception leaving the body ends the process, as an unhandled exception in a thread does.
//
// Linux cannot end a thread from outside safely, so terminate does not kill it: it fixes the
// exit code, requests the thread's cancellation (which ends it at its next alertable wait or
// cancellation point) and discards whatever the body still produces. Destroying a VThread lets
// the thread run on, as closing a thread handle does.
class VThread {
public:
  static constexpr std::uint32_t STILL_ACTIVE = 259;

  // Starts the thread. Throws the std::system_error of a thread that cannot be started.
  explicit VThread(std::function<std::uint32_t()> body);

  // The exit code, or STILL_ACTIVE while the thread runs and has not been terminated.
  std::uint32_t exitCode() const;
  // See above; does nothing once the thread has ended.
  void terminate(std::uint32_t exitCode);
  // Waits for the end of the thread as VSyncObject::waitForSingleObject waits.
  std::uint32_t waitForSingleObject(std::uint32_t timeoutMs);

  struct State;

private:
  std::shared_ptr<State> state_;
};

class GetFinalPathNameByHandleExecutor {
public:
  using Resolver = std::function<os::Result<std::u16string>()>;
  static constexpr std::uint32_t defaultTimeoutMs = 2000;

  // Runs resolve on a worker thread and waits for it at most timeoutMs. Returns the path it
  // found, or an empty path when it failed or took too long; in the last case the warning
  // "GetFinalPathNameByHandleExecutor::getFilePath(0x<handle>) Terminate handle path resolving
  // thread: timeout reached" is logged and the worker is terminated.
  static std::u16string getFilePath(std::uint32_t handle, Resolver resolve,
                                    std::uint32_t timeoutMs = defaultTimeoutMs);
};
