// Watching every started program of a service with one thread: a run costs an entry in a list,
// not a thread or a descriptor, however long it runs.
//
// When a program ends, its reaper does the end of its run: it kills what the program left behind
// (its control group, or its process group), waits until the control group is empty, notes the
// limit the run ran into (the memory limit when the kernel killed a process for it, the task
// limit when a fork was refused, the CPU time when the program ended by SIGXCPU), removes the
// run's groups and reaps the program; then it calls the run's callback on its own thread. A run
// whose wall-clock limit passes is killed whole and ends that way, with the wall-clock limit as
// its limit.
#pragma once

#include <functional>
#include <memory>

#include "os/error.h"
#include "os/spawn.h"

namespace os {

class ProgramReaper {
public:
  // Called once, on the reaper's thread, when the run has ended and its end is done (a failure:
  // the program could not be waited for). It must not throw, and should not take long: the other
  // runs' ends wait meanwhile.
  using Ended = std::function<void(const StartedProcess&, const Result<ProgramEnd>&)>;

  // Starts the reaper's thread. The end of a child is seen through SIGCHLD, which is blocked
  // from here on for the calling thread and every thread it starts later: start the reaper
  // before any other thread. The reaper's own thread takes no asynchronous signal. The reaper
  // looks at the programs it watches only, never at other children of the process.
  static Result<ProgramReaper> start();
  // Stops the thread. Programs still running go on; their callbacks are dropped uncalled.
  ~ProgramReaper();
  ProgramReaper(ProgramReaper&&) noexcept;
  ProgramReaper& operator=(ProgramReaper&&) = delete;

  // Watches the program (started by startProcessAs and not waited for) until it ends. Safe to
  // call from several threads at once.
  void watch(StartedProcess process, Ended ended);

private:
  class Watcher;
  explicit ProgramReaper(std::unique_ptr<Watcher> watcher);
  std::unique_ptr<Watcher> watcher_;
};

} // namespace os
