// Starting a program as another account, and waiting for it.
//
// The program runs with exactly the account's user, primary group and supplementary groups
// (no capability of the caller survives the change of user), in the given directory, with the
// given environment only and the three given descriptors as its standard input, output and
// error. No shell is involved: the program file is executed as it is (a binary or a "#!"
// script), with the argument list as given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os/error.h"
#include "os/handle.h"

namespace os {

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
};

// Starts the program and returns its process id once it runs the program. Fails with the Win32
// code of what went wrong before that: the program or directory missing (2, 3), not
// executable (5), the ids refused. Safe to call from several threads at once.
Result<std::uint32_t> startProcessAs(const ProcessStart& start);

// Waits for the started process to end and returns its exit code: the status it passed to exit,
// or 128 plus the number of the signal that ended it.
Result<std::uint32_t> waitForProcess(std::uint32_t processId);

} // namespace os
