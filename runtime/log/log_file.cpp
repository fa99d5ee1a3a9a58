#include "runtime/log/log_file.h"

#include "os/impersonation.h"
#include "os/named_mutex.h"
#include "os/path.h"
#include "os/process.h"
#include "os/text.h"
#include "runtime/core/exception.h"
#include "runtime/core/format.h"
#include "runtime/core/registry.h"
#include "runtime/core/text.h"
#include "runtime/fs/path/filename.h"

namespace {

std::u16string executableFileName() {
  std::u16string path = os::executablePath();
  return path.substr(path.find_last_of(u"\\/") + 1);
}

std::u16string logDirectoryBelow(const std::u16string& productRoot) {
  return VFileName::combine(productRoot, u"admin\\logs");
}

std::string utf16le(const std::u16string& text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

} // namespace

std::u16string markedForLog(std::u16string_view label, std::u16string_view text) {
  std::u16string marked;
  bool lineStarts = true;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit == u'\r' || unit == u'\n') {
      if (unit == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
      if (lineStarts) marked += label; // an empty line
      if (i + 1 < text.size()) marked += u'\n';
      lineStarts = true;
      continue;
    }
    if (lineStarts) marked += label;
    lineStarts = false;
    if ((unit < 0x20 && unit != u'\t') || unit == 0x7F)
      marked += formatString(u"\\x%02X", static_cast<unsigned>(unit));
    else
      marked += unit;
  }
  return marked;
}

std::u16string productRoot() {
  return registry::getstr(registry::HKEY_LOCAL_MACHINE, registry::PRODUCT_CONFIG_KEY,
                          u"PRODUCT_ROOT_D", registry::VIEW_32);
}

std::optional<std::u16string> logDirectory() {
  std::u16string root;
  if (registry::lookup(registry::HKEY_LOCAL_MACHINE, registry::PRODUCT_CONFIG_KEY, u"PRODUCT_ROOT_D", root,
                       registry::VIEW_32) != os::err::success)
    return std::nullopt;
  return logDirectoryBelow(root);
}

void openLogDirectory() {
  if (std::optional<std::u16string> directory = logDirectory()) (void)os::makeLogDirectory(*directory);
}

LogEncoding logEncoding() {
  std::u16string name = u"UTF-16";
  (void)registry::lookup(registry::HKEY_LOCAL_MACHINE, registry::PRODUCT_CONFIG_KEY, u"LogEncoding", name,
                         registry::VIEW_32);
  if (RunTime::striequal(name, u"UTF-16")) return LogEncoding::Utf16;
  if (RunTime::striequal(name, u"UTF-8")) return LogEncoding::Utf8;
  throw vexception(u"LogEncoding is '" + name + u"': use UTF-8 or UTF-16", VCONTEXT("logEncoding"));
}

LogFile::LogFile(const std::u16string& name, bool enabledByDefault)
    : name_(name.empty() ? executableFileName() : name),
      enabled_(registry::productDword(u"log_" + name_ + u"_enabled", enabledByDefault ? 1 : 0) != 0) {
  if (!enabled_) return;
  directory_ = logDirectoryBelow(productRoot());
  encoding_ = logEncoding();
  lock_ = std::make_unique<VMutex>(false, u"kelvolog_" + name_ + u"_mutex");
}

void LogFile::write(const std::u16string& line) {
  if (!enabled_) return;
  // The log is the tool's own file: a thread acting as a site user writes it as the tool.
  const os::SelfScope self;
  lock_->lock(os::INFINITE_WAIT);
  struct Release {
    VMutex& mutex;
    ~Release() {
      try {
        mutex.unlock();
      } catch (const vexception&) {
        // The line is written; a mutex that cannot be released is released by our exit.
      }
    }
  } release{*lock_};
  os::LocalTime t = os::localTime();
  std::u16string file = VFileName::combine(
      directory_, formatString(u"kelvolog_%s%04d%02d%02d.log", name_, t.year, t.month, t.day));
  std::u16string text =
      formatString(u"%04d%s%02d%s%02d %02d:%02d:%02d.%03d", t.year, u"/", t.month, u"/", t.day,
                   t.hour, t.minute, t.second, t.milliseconds) +
      formatString(u" %u %u ", os::processId(), os::threadId()) + line;
  const bool utf8 = encoding_ == LogEncoding::Utf8;
  std::uint32_t rc = utf8 ? os::appendToLog(file, "", os::utf8FromUtf16(text + u"\n"))
                          : os::appendToLog(file, "\xFF\xFE", utf16le(text + u"\r\n"));
  if (rc)
    throwOSError(u"write log file " + os::shownPath(file), rc, VCONTEXT("LogFile::write"));
}
