// Facts about the running process: its executable, ids and the local time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "os/error.h"

namespace os {

// The running executable as a Windows-form path.
std::u16string executablePath();

std::uint32_t processId();
std::uint32_t threadId();

struct LocalTime {
  int year, month, day, hour, minute, second, milliseconds;
};
LocalTime localTime();

// Opens the log file at the Windows-form path (creating it when absent), writes `header` when
// the file is empty, then `data`, at its end. The log may hold secrets (a script's command line
// when debugging), so a new file gets mode 0640 and, made by root, the group "adm" (the host's
// group of those who may read its logs; the owner's group where there is none); root gives an
// older log of its own with a looser mode the same mode and group. A link or a special file in
// its place is not written (5). Returns the Win32 code of the outcome.
[[nodiscard]] std::uint32_t appendToLog(std::u16string_view path, std::string_view header,
                                        std::string_view data);

// Makes the log directory at the Windows-form path when it is missing: its parent too when that
// is missing (mode 0755), never the grandparent (a product root that does not exist is a
// configuration fault that a new empty tree would hide). The directory is 0750 and, made by
// root, has the log readers' group as the log files do. An existing directory is left as it
// is. Returns the Win32 code of the outcome.
[[nodiscard]] std::uint32_t makeLogDirectory(std::u16string_view path);

enum class EventType { Information, Warning, Success, Error };

// Sends a message to the host's system log under the given source name.
void reportEvent(std::u16string_view source, EventType type, std::u16string_view text);

} // namespace os
