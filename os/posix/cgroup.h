// Control groups of the unified hierarchy for started programs: the base directory below which
// each program gets a group of its own, and the life of such a group.
#pragma once

#include <cstdint>
#include <string>

#include "os/error.h"
#include "os/posix/fd.h"

namespace os::posix::cgroup {

// The directory of this process's own control group in the unified hierarchy (found in
// /proc/self/mountinfo and /proc/self/cgroup), once a group could be made and removed below it.
// When the group has controllers enabled for its children, this process first moves into the
// leaf "service" below it (a group with controllers enabled holds no processes of its own).
// Fails with a detail text that says why no group can be made there.
// Where the memory and pids controllers can be enabled for the base's children, they are, and
// `limits` is set: each group then carries memory.max and pids.max.
struct Base {
  Fd dir;
  std::string path;
  bool limits = false;
};
Result<Base> openBase();

// The directory of this process's own group in a version 1 hierarchy that carries the
// controller ("memory", "pids"), once a group could be made and removed below it. Fails with a
// detail text that says why not.
Result<Base> openVersion1Base(const std::string& controller);

// Writes the limits into a group of the unified hierarchy (memory.max, memory.swap.max, pids.max)
// or of version 1 hierarchies (memory.limit_in_bytes, memory.memsw.limit_in_bytes, pids.max; the
// files a group lacks are passed over there). Limits of 0 are not written.
[[nodiscard]] std::uint32_t limitMemory(int group, std::uint64_t bytes, bool version1);
[[nodiscard]] std::uint32_t limitTasks(int group, std::uint32_t tasks);

// Whether the kernel killed a process of the group for its memory limit (memory.events
// "oom_kill", version 1 memory.oom_control "oom_kill"), and whether a fork was refused for its
// task limit (pids.events "max").
bool memoryLimitHit(int group, bool version1);
bool taskLimitHit(int group);

struct Group {
  Fd dir;
  std::string name; // below the base
};

// Makes a new, empty group below the base ("run-<n>", the first n free).
Result<Group> create(int base);

// Moves the process into the group.
[[nodiscard]] std::uint32_t place(int group, int pid);

// Kills every process in the group (cgroup.kill; before kernel 5.14, SIGKILL to each listed
// process until none is listed) and waits until the group is empty ("populated 0").
[[nodiscard]] std::uint32_t killAll(int group);

// Kills each process the group lists until it lists none (version 1 groups, which have neither
// cgroup.kill nor cgroup.events).
[[nodiscard]] std::uint32_t killListed(int group);

// Removes the empty group.
[[nodiscard]] std::uint32_t remove(int base, const std::string& name);

} // namespace os::posix::cgroup
