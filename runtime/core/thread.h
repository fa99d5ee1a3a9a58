// Threads owned by the program.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>


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
