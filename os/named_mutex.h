// Named mutexes shared by the processes of the host that run as the same effective user.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "os/error.h"
#include "os/handle.h"

namespace os {

inline constexpr std::uint32_t INFINITE_WAIT = 0xFFFFFFFF;
inline constexpr std::uint32_t WAIT_OBJECT_0 = 0;
inline constexpr std::uint32_t WAIT_ABANDONED = 0x80;
inline constexpr std::uint32_t WAIT_TIMEOUT = 0x102;

// A mutex named like a kernel object ("Global\" and "Local\" prefixes share one namespace;
// names compare exactly, letter case included, as kernel object names do). It is a lock file
// under <runDirectory>/lock, a directory of the effective user (root in production) with mode
// 0755 whose files are that user's with mode 0600: a lock that another account could open is a
// lock it could hold for ever and stop every run of the tool. An older lock directory of the
// user's with a looser mode is narrowed, a lock file that another account made or may have
// opened is replaced, never waited on (see os/posix/lock_area.h). A holder that dies releases
// the mutex, so an abandoned mutex is simply acquired.
class NamedMutex {
public:
  NamedMutex() = default;

  // Opens (creating when needed) the mutex; not owned. The lock area is opened with the
  // process's own rights, also on a thread that acts as another account. Fails with 5 when the
  // lock directory is a link, not a directory, or another user's.
  static Result<NamedMutex> open(const std::string& runDirectory, std::u16string_view name);

  // Waits up to timeoutMs (INFINITE_WAIT: forever): WAIT_OBJECT_0 or WAIT_TIMEOUT.
  Result<std::uint32_t> wait(std::uint32_t timeoutMs);
  // Releases a held mutex; fails with err::notOwner when it is not held.
  [[nodiscard]] std::uint32_t release();

private:
  explicit NamedMutex(Handle file) : file_(std::move(file)) {}

  Handle file_;
  bool held_ = false;
};

// The file name of a mutex's lock file: the name without its namespace prefix, with every byte
// of its UTF-8 form outside [A-Za-z0-9._{}-] written as %XX.
std::string mutexFileName(std::u16string_view name);

} // namespace os
