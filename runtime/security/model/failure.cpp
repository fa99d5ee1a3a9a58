#include "runtime/security/model/failure.h"

#include <atomic>
#include <cstdlib>

namespace RunTime {
namespace {

std::atomic<OsFailureReporter> g_reporter{nullptr};

} // namespace

void installOsFailureReporter(OsFailureReporter reporter) { g_reporter.store(reporter); }

void raiseOsFailure(const std::u16string& where, std::uint32_t code, ExceptionContext context) {
  if (OsFailureReporter reporter = g_reporter.load()) {
    reporter(where, code, std::move(context));
    std::abort(); // a reporter that returns breaks its contract
  }
  SecurityModelError error(u"(Error code " + decimal(code) + u") at " + where, code);
  error.addContext(std::move(context));
  throw error;
}

void raiseFailure(std::u16string message, ExceptionContext context) {
  vexception error(std::move(message));
  error.addContext(std::move(context));
  throw error;
}

std::u16string decimal(std::int64_t value) {
  std::string text = std::to_string(value);
  return std::u16string(text.begin(), text.end());
}

} // namespace RunTime
