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
struct Base {
  Fd dir;
  std::string path;
};
Result<Base> openBase();

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

// Removes the empty group.
[[nodiscard]] std::uint32_t remove(int base, const std::string& name);

} // namespace os::posix::cgroup
