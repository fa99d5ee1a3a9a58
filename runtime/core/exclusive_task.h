// Serialises whole tasks across processes through a named global mutex.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "os/named_mutex.h"

// The host directory of the tool's named objects: the registry value "RunDirectory" of
// HKLM\SYSTEM\Tavrix, "/run/tavrix" when absent.
std::string runDirectory();

class ExclusiveTask {
public:
  ExclusiveTask() = default;
  ExclusiveTask(const ExclusiveTask&) = delete;
  ExclusiveTask& operator=(const ExclusiveTask&) = delete;
  // Releases the mutex when it is held.
  ~ExclusiveTask();

  // Creates (or opens) the named mutex and waits for it up to timeoutMs. Returns the wait result:
  // WAIT_OBJECT_0 or WAIT_ABANDONED (the mutex is held) or WAIT_TIMEOUT. Throws the OS error
  // "create mutex <name>" or "WaitForSingleObject failed for mutex <name>".
  std::uint32_t Initialize(std::u16string_view name, std::uint32_t timeoutMs);

private:
  os::NamedMutex mutex_;
};
