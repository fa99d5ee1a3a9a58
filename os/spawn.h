// Starting a program as another account.
//
// The program runs with exactly the account's user, primary group and supplementary groups
// (no capability of the caller survives the change of user), in the given directory, with the
// given environment only and the three given descriptors as its standard input, output and
// error. No shell is involved: the program file is executed as it is (a binary or a "#!"
// script), with the argument list as given.
//
// A program's run is the program and everything it starts: each program runs in a control group
// of its own below this process's control group (unified hierarchy), or, where none can be made
// there, in a session and process group of its own. When the program ends, what it left behind
// is killed, so that nothing of the run survives it or keeps its output pipes open.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os/error.h"
#include "os/handle.h"

namespace os {

// What a program may reach of the file system (Landlock, where the kernel has it). Paths are
// Windows-form or host paths; one that does not exist is passed over. Anything not named is out
// of reach, /proc/self (the program's own process directory) and /dev/null, /dev/zero and
// /dev/urandom excepted. The network is not restricted.
struct Confinement {
  bool enabled = false;
  std::vector<std::u16string> readExecute; // read and run files, list directories
  std::vector<std::u16string> read;        // read files, list directories
  std::vector<std::u16string> readWrite;   // everything beneath: create, change, remove
};

// Limits of a program's run; 0 is no limit. Memory and tasks hold for the whole run (its control
// groups), CPU time for each of its processes, the wall clock for the run from its start.
struct RunLimits {
  std::uint64_t memoryBytes = 0;
  std::uint32_t tasks = 0;
  std::uint32_t cpuSeconds = 0;
  std::uint32_t wallSeconds = 0;
};

struct ProcessStart {
  std::u16string program;                  // Windows-form path of the program file
  std::vector<std::u16string> arguments;   // the argument list, the program's name first
  std::vector<std::u16string> environment; // "NAME=value" entries
  std::u16string directory;                // Windows-form path of the working directory
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::vector<std::uint32_t> groups;       // supplementary groups
  NativeHandle input = NativeHandle::none;
  NativeHandle output = NativeHandle::none;
  NativeHandle error = NativeHandle::none;
  Confinement confinement;
  RunLimits limits;
};

// The Landlock ABI version of the running kernel; 0 when it has none (or it is turned off).
int landlockVersion();

// Chooses how the programs started from now on are held together with what they start, and
// returns that choice as a line for the log. With `controlGroups` false, or when this process
// cannot make a control group below its own (no unified hierarchy, not delegated, read-only),
// programs get a process group and session of their own. The line also says where memory and
// task limits are set: in the unified hierarchy (memory.max, pids.max) when its memory and pids
// controllers can be enabled below this process's group, else in groups of the version 1
// memory and pids hierarchies, else nowhere. A control group that holds this
// process and has controllers enabled for its children cannot hold processes as well, so this
// process first moves into a leaf "service" below it. Call it once, before starting threads.
std::string chooseProgramGrouping(bool controlGroups);

// A started program: its process id and the names of its control groups below the service's
// (empty where it has none). The run holds no descriptor of the service's: its groups are opened
// by name when it ends.
struct StartedProcess {
  std::uint32_t id = 0;
  std::string groupName;      // unified hierarchy; empty: its process group holds the run
  std::string limitGroupName; // version 1 memory and pids hierarchies, where the limits are set there
  RunLimits limits;
};

// The limit a run was stopped by, or the last one it ran into.
enum class LimitHit { none, memory, tasks, cpuTime, wallClock };

// How a program's run ended: the program's exit code (the status it passed to exit, or 128 plus
// the number of the signal that ended it) and the Win32 code of a failure to kill what it left
// behind or to remove its control group (0 when none).
struct ProgramEnd {
  std::uint32_t exitCode = 0;
  std::uint32_t cleanupError = 0;
  LimitHit limit = LimitHit::none;
};

// Starts the program and returns it once it runs the program. Fails with the Win32 code of what
// went wrong before that: the program or directory missing (2, 3), not executable (5), the ids
// refused. Safe to call from several threads at once.
Result<StartedProcess> startProcessAs(const ProcessStart& start);

// A started program is watched until it ends by os::ProgramReaper (os/reaper.h), which then does
// the end of its run.

} // namespace os
