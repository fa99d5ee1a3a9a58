// Crash dumps: a full dump of the process is written into the dump directory when a processor
// exception or a fatal error (a heap corruption, an abort) happens, and old dumps beyond the
// maximum count are deleted when the process ends. The dump's directory and name are prepared
// when the settings are read, so that writing one at fault time allocates nothing and takes no
// lock (see os/fault.h).
#pragma once

#include <cstdint>
#include <string>

#include "os/fault.h"

class CrashDumpInfo {
public:
  // The process-wide settings, read from the product configuration on first use: dumps are on
  // unless "CrashDumpsEnabled" is 0 or "PRODUCT_ROOT_D" is missing; they go to
  // "CrashDumpsLocation" or PRODUCT_ROOT_D\etc\crashdumps (created when missing); at most
  // "CrashDumpsMaxCount" (10) are kept. Any failure while reading them turns dumps off. When
  // they are on, every fatal error of the process writes a dump before the process ends.
  static CrashDumpInfo& instance();

  bool enabled() const { return enabled_; }
  const std::u16string& location() const { return location_; }

  // "<location>\<program><yyyymmdd_hhmmss>.dmp". Throws "Crash dumping does not enabled" when
  // dumps are off.
  std::u16string getFileName() const;

  // Deletes the oldest "*.dmp" files of the location (not ".zip" ones) until at most the maximum
  // count remain.
  void prune() const;

private:
  CrashDumpInfo();
  ~CrashDumpInfo();

  bool enabled_ = true;
  std::uint32_t maxCount_ = 10;
  std::u16string location_;
  std::u16string programName_;
};

// Writes a dump of the whole process memory to a new file of the dump location, named as
// getFileName names it, without allocating or taking a lock. Its failure throws the OS error
// "Unable to generate dump file" with the context "Unable to call internalDumpMiniDump(<path>)".
void internalDumpMiniDump(const os::FaultContext& context);

// The translator of processor exceptions that the console frame installs: writes a dump when
// the settings have been read (CrashDumpInfo::instance(); reading them takes locks, so a fault
// never reads them) and dumps are enabled, then throws a cwrpexception with the code (or the
// dump's failure).
[[noreturn]] void translateStructuredException(std::uint32_t code, const os::FaultContext& context);
