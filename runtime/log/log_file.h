// One named daily log file below the installation's "admin\logs": lines with the time, the
// process and thread ids, in UTF-16LE (or UTF-8, as the product configuration says).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/core/sync.h"

// The product installation root: "PRODUCT_ROOT_D" of the product configuration. Throws the OS
// error of the lookup when it is not set.
std::u16string productRoot();

// The daily log's directory, "<product root>\admin\logs"; nothing when PRODUCT_ROOT_D is not
// set. Throws the registry's failure of a store that cannot be read.
std::optional<std::u16string> logDirectory();

// Makes the log directory when the product root is configured and the directory is missing
// (os::makeLogDirectory), so that logging needs no preparation by hand. A failure to make it
// is left to the log's writes, which drop it; a store that cannot be read throws.
void openLogDirectory();

enum class LogEncoding { Utf16, Utf8 };

// The product's string "LogEncoding": "UTF-16" (the default: UTF-16LE with a byte-order mark,
// lines ended by CR LF) or "UTF-8" (no byte-order mark, lines ended by LF), in any letter case.
// Any other value throws the vexception "LogEncoding is '<value>': use UTF-8 or UTF-16".
LogEncoding logEncoding();

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

  // Appends "<date time> <pid> <tid> <line>" and the line end to "kelvolog_<name><yyyymmdd>.log"
  // in the configured encoding, holding the named mutex "kelvolog_<name>_mutex"; a new UTF-16
  // file starts with the byte-order mark. Throws on failure.
  void write(const std::u16string& line);

private:
  std::u16string name_;
  bool enabled_;
  LogEncoding encoding_ = LogEncoding::Utf16;
  std::u16string directory_;
  std::unique_ptr<VMutex> lock_;
};
