#include "runtime/log/event_log.h"

#include "os/named_mutex.h"
#include "os/process.h"
#include "runtime/core/exclusive_task.h"
#include "runtime/core/guard.h"
#include "runtime/core/registry.h"
#include "runtime/fs/path/filename.h"
#include "runtime/log/log_file.h"
#include "runtime/log/log_manager.h"

namespace {
constexpr std::u16string_view kEventLogKey = u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Kelvo";
}

void EventLog::registerSource() {
  guarded("LogManager::getEventLog", __LINE__, [] { return std::u16string(u"Unable to call LogManager::getEventLog()"); }, [&] {
    std::u16string path = os::executablePath();
    source_ = path.substr(path.find_last_of(u"\\/") + 1);
    ExclusiveTask task;
    task.Initialize(u"Global\\{F485C63C-FF60-4c1a-A4BF-A3958C9F3D32}", os::INFINITE_WAIT);
    if (!registry::exists(registry::HKEY_LOCAL_MACHINE, kEventLogKey, registry::VIEW_DEFAULT)) {
      registry::Key log(registry::HKEY_LOCAL_MACHINE, kEventLogKey, registry::KEY_ALL_ACCESS, false);
      registry::set(log, u"MaxSize", 0x800000u);
      registry::set(log, u"Retention", 0u);
    }
    registry::Key source(registry::HKEY_LOCAL_MACHINE, std::u16string(kEventLogKey) + u"\\" + source_,
                         registry::KEY_SET_VALUE, false);
    registry::set(source, u"TypesSupported", 7u);
    registry::set(source, u"EventMessageFile",
                  VFileName::combine(productRoot(), u"admin\\bin64\\eventmsg.dll"));
    registered_ = true;
  });
}

void EventLog::report(int level, const std::u16string& text) {
  std::lock_guard lock(mutex_);
  if (!registered_) registerSource();
  os::EventType type = level == corelog::levelInfo      ? os::EventType::Information
                       : level == corelog::levelWarning ? os::EventType::Warning
                       : level == corelog::levelResult  ? os::EventType::Success
                                              : os::EventType::Error;
  os::reportEvent(source_, type, text);
}
