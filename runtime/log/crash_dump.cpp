#include "runtime/log/crash_dump.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "os/error.h"
#include "os/path.h"
#include "os/process.h"
#include "runtime/core/cancelation.h"
#include "runtime/core/exception.h"
#include "runtime/core/format.h"
#include "runtime/core/registry.h"
#include "runtime/core/text.h"
#include "runtime/fs/files.h"
#include "runtime/fs/finder.h"
#include "runtime/fs/path/filename.h"

namespace {

// The process is ending: the dump is all that can be done, and a failure has nobody to go to.
void onFatalError(const os::FaultContext& context) { (void)os::writeCoreDump(context); }

} // namespace

namespace {
// The settings once they are read: a fault before that writes no dump, since reading them
// takes locks the faulting code may hold.
std::atomic<const CrashDumpInfo*> g_settings{nullptr};
} // namespace

CrashDumpInfo& CrashDumpInfo::instance() {
  static CrashDumpInfo info;
  g_settings = &info;
  return info;
}

CrashDumpInfo::CrashDumpInfo() {
  try {
    registry::Key key(registry::HKEY_LOCAL_MACHINE, registry::PRODUCT_CONFIG_KEY,
                      registry::READ_CONTROL | registry::KEY_QUERY_VALUE | registry::KEY_WOW64_32KEY,
                      true);
    if (registry::get(key, u"CrashDumpsEnabled", 1) == 0) {
      enabled_ = false;
      return;
    }
    std::u16string root = registry::getString(key, u"PRODUCT_ROOT_D");
    if (root.empty()) {
      enabled_ = false;
      return;
    }
    location_ = VFileName::combine(root, u"etc\\crashdumps");
    std::u16string configured;
    if (registry::lookup(registry::HKEY_LOCAL_MACHINE, registry::PRODUCT_CONFIG_KEY,
                         u"CrashDumpsLocation", configured, registry::VIEW_32) == 0)
      location_ = configured;
    if (!VDirectory::exists(location_)) VDirectory::createDirectory(location_);
    maxCount_ = registry::get(key, u"CrashDumpsMaxCount", maxCount_);
    std::u16string executable = os::executablePath();
    programName_ = executable.substr(executable.find_last_of(u"\\/") + 1);
    programName_ = programName_.substr(0, programName_.rfind(u'.'));
    if (os::prepareCoreDumps(location_, programName_) != os::err::success) {
      enabled_ = false;
      return;
    }
    os::setFatalErrorHandler(onFatalError);
  } catch (const ThreadCancelation::ThreadCanceled&) {
    throw;
  } catch (...) {
    enabled_ = false;
  }
}

CrashDumpInfo::~CrashDumpInfo() {
  if (!enabled_) return;
  try {
    prune();
  } catch (const ThreadCancelation::ThreadCanceled&) {
    // Only the process's exit runs this: the cancelled thread has nothing left to stop.
  } catch (...) {
    // Pruning is housekeeping; the exit code is already decided.
  }
  os::setFatalErrorHandler(nullptr);
}

std::u16string CrashDumpInfo::getFileName() const {
  if (!enabled_)
    throw vexception(u"Crash dumping does not enabled", VCONTEXT("CrashDumpInfo::getFileName"));
  return formatString(u"%s\\%s", location_, os::coreDumpFileName());
}

void CrashDumpInfo::prune() const {
  struct Dump {
    std::uint64_t written;
    std::u16string path;
  };
  std::vector<Dump> dumps;
  VFileFinder finder;
  for (bool found = finder.first(VFileName::combine(location_, u"*.dmp")); found; found = finder.next()) {
    const std::u16string& name = finder.name();
    bool zip = name.size() >= 4 && RunTime::striequal(std::u16string_view(name).substr(name.size() - 4), u".zip");
    if (!finder.isDirectory() && !zip)
      dumps.push_back({finder.lastWriteTime(), VFileName::combine(location_, name)});
  }
  std::sort(dumps.begin(), dumps.end(),
            [](const Dump& a, const Dump& b) { return a.written < b.written; });
  for (std::size_t i = 0; i + maxCount_ < dumps.size(); ++i) removeFile(dumps[i].path, true);
}

void internalDumpMiniDump(const os::FaultContext& context) {
  // Not a guarded operation: opening a span and a cancellation point takes locks that the
  // faulting code may hold. Only the failure, once the dump is over, allocates.
  std::uint32_t rc = os::writeCoreDump(context);
  if (rc == os::err::success) return;
  try {
    throwOSError(u"Unable to generate dump file", rc, VCONTEXT("internalDumpMiniDump"));
  } catch (vexception& e) {
    e.addContext(ExceptionContext(
        formatString(u"Unable to call internalDumpMiniDump(%s)",
                     os::shownPath(CrashDumpInfo::instance().getFileName())),
        "internalDumpMiniDump", __LINE__));
    throw;
  }
}

void translateStructuredException(std::uint32_t code, const os::FaultContext& context) {
  if (const CrashDumpInfo* settings = g_settings; settings && settings->enabled()) internalDumpMiniDump(context);
  throw cwrpexception(code);
}
