// The end of a program's run, as the reaper and a failed start do it (os/posix/spawn.cpp).
#pragma once

#include <cstdint>

#include "os/error.h"
#include "os/spawn.h"

namespace os::posix {

// Kills every process of the run: its control group (waiting until it is empty), else its
// version 1 memory group, else its process group. The program itself must not be reaped yet:
// its id is its process group's.
[[nodiscard]] std::uint32_t killRun(const StartedProcess& process);

// Waits for the program to end (it has, when the reaper calls this) without reaping it, kills
// what it left behind, notes the limit it ran into (`stoppedBy` when the caller stopped it for
// one), removes its groups and reaps it. Fails only when the program cannot be waited for.
Result<ProgramEnd> finishRun(StartedProcess& process, LimitHit stoppedBy);

} // namespace os::posix
