// One named daily log file below the installation's "admin\logs": UTF-16LE lines with the time,
// the process and thread ids.
#pragma once

#include <memory>
#include <string>

#include "runtime/core/sync.h"

// The product installation root: "PRODUCT_ROOT_D" of the product configuration. Throws the OS
// error of the lookup when it is not set.
std::u16string productRoot();

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
