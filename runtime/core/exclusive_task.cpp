#include "runtime/core/exclusive_task.h"

#include "os/text.h"
#include "runtime/core/exception.h"
#include "runtime/core/registry.h"

std::string runDirectory() {
  std::u16string dir = u"/run/tavrix";
  registry::lookup(registry::HKEY_LOCAL_MACHINE, u"SYSTEM\\Tavrix", u"RunDirectory", dir,
                   registry::VIEW_64);
  return os::utf8FromUtf16(dir);
}

ExclusiveTask::~ExclusiveTask() { (void)mutex_.release(); }

std::uint32_t ExclusiveTask::Initialize(std::u16string_view name, std::uint32_t timeoutMs) {
  os::Result<os::NamedMutex> opened = os::NamedMutex::open(runDirectory(), name);
  if (!opened.ok())
    throwOSError(u"create mutex " + std::u16string(name), opened.code(),
                 VCONTEXT("ExclusiveTask::Initialize"));
  mutex_ = std::move(opened.value());
  os::Result<std::uint32_t> waited = mutex_.wait(timeoutMs);
  if (!waited.ok()) {
    mutex_ = os::NamedMutex();
    throwOSError(u"WaitForSingleObject failed for mutex " + std::u16string(name), waited.code(),
                 VCONTEXT("ExclusiveTask::Initialize"));
  }
  return waited.value();
}
