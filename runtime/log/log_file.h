// One named daily log file below the installation's "admin\logs": UTF-16LE lines with the time,
// the process and thread ids.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "runtime/core/sync.h"

// The product installation root: "PRODUCT_ROOT_D" of the product configuration. Throws the OS
// error of the lookup when it is not set.
std::u16string productRoot();

// Text from outside the tool (a script's output) as a log entry holds it, so that none of it can
// pass for the log's own lines: each of its lines (ended by CR, LF or CR LF; a break at the very
// end starts no further line) begins with `label`, and every control character but tab (below
// 0x20, and 0x7F) is written as \xNN. The lines are joined by LF; no text gives no line.
std::u16string markedForLog(std::u16string_view label, std::u16string_view text);

class LogFile {
public:
  // The file is enabled by `enabledByDefault` unless the product's DWORD "log_<name>_enabled"
  // says otherwise. An empty name stands for the executable's file name.
  LogFile(const std::u16string& name, bool enabledByDefault);

  bool enabled() const { return enabled_; }

  // Appends "<date time> <pid> <tid> <line>\r\n" to "kelvolog_<name><yyyymmdd>.log", holding the
  // named mutex "kelvolog_<name>_mutex"; a new file starts with the byte-order mark. Throws on
  // failure.
  void write(const std::u16string& line);

private:
  std::u16string name_;
  bool enabled_;
  std::u16string directory_;
  std::unique_ptr<VMutex> lock_;
};
