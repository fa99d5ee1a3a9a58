#include "app/console_app.h"

#include "os/console.h"
#include "runtime/core/command_line.h"
#include "runtime/core/exception.h"
#include "runtime/core/guard.h"
#include "runtime/core/text.h"
#include "runtime/log/crash_dump.h"
#include "runtime/log/log_file.h"
#include "runtime/log/log_manager.h"
#include "runtime/log/tracing_driver.h"

namespace {
vconsoleapp* g_application = nullptr;

// Logs how the invocation failed. run is the main thread's outermost frame: a cancellation that
// arrives while it logs ends the thread there, as it would have ended it anywhere else.
template <class Log>
void reportFailure(Log&& log) {
  try {
    log();
  } catch (const ThreadCancelation::ThreadCanceled&) {
  }
}

std::vector<std::u16string> splitAtEquals(const std::u16string& argument) {
  std::vector<std::u16string> parts;
  std::size_t start = 0;
  for (std::size_t eq; (eq = argument.find(u'=', start)) != std::u16string::npos; start = eq + 1)
    parts.push_back(argument.substr(start, eq - start));
  parts.push_back(argument.substr(start));
  return parts;
}
} // namespace

std::u16string maskCommandLine(const std::u16string& commandLine) {
  std::u16string logged;
  for (const std::u16string& argument : splitCommandLine(commandLine)) {
    std::vector<std::u16string> parts = splitAtEquals(argument);
    const std::u16string& name = parts.front();
    if (name.find(u"password") != std::u16string::npos || name.find(u"pwd") != std::u16string::npos) {
      std::u16string masked = quoteArgument(name);
      for (std::size_t i = 1; i < parts.size(); ++i) masked += u"=*";
      logged += quoteArgument(masked);
    } else {
      logged += quoteArgument(argument);
    }
    logged += u' ';
  }
  while (!logged.empty() && (logged.back() == u' ' || logged.back() == u'\t')) logged.pop_back();
  return logged;
}

vconsoleapp::vconsoleapp() {
  LogManager::instance().resetSwitches();
  LogManager::instance().setRecording(false);
  OpenTracingDriver::install();
  g_application = this;
}

vconsoleapp::~vconsoleapp() { g_application = nullptr; }

vconsoleapp* vconsoleapp::application() { return g_application; }

int vconsoleapp::run(int argc, const std::u16string* argv) {
  LogManager& log = LogManager::instance();
  std::u16string& logged = loggedCommandLine_;
  auto describe = [&] { return formatString(u"Unable to execute command: '%s'", logged); };
  os::FaultTranslatorScope translator(translateStructuredException);
  try {
    // Known before the guard opens its span, so that a failure to open it names the command.
    logged = maskCommandLine(joinCommandLine(os::processArguments()));
    return guarded("vconsoleapp::run", __LINE__, describe, [&](tracing::Span& span) {
      int result = start(argc, argv);
      log.log(corelog::levelInfo, u"End command '%s' with code: %d", logged, result);
      if (span.isActive()) span.setTag("if_error", cstr(describe(), CP_ACP));
      return result;
    });
  } catch (const ThreadCancelation::ThreadCanceled&) {
    // The main thread was cancelled: the invocation ends here, unreported.
  } catch (const vexception& e) {
    reportFailure([&] { log.logException(corelog::levelError, e); });
  } catch (...) {
    reportFailure([&] { log.logText(corelog::levelError, u"Unexpected error"); });
  }
  return 1;
}

void vconsoleapp::beginCommand() {
  openLogDirectory();
  // A misspelt encoding fails the command before it acts, not each log line silently.
  (void)logEncoding();
  CrashDumpInfo::instance();
  LogManager& log = LogManager::instance();
  log.setRecording(true);
  log.log(corelog::levelInfo, u"Start command: '%s'", loggedCommandLine_);
}

int vconsoleapp::start(int argc, const std::u16string* argv) {
  auto describe = [&] {
    return formatString(u"Unable to execute console command: '%s'", maskCommandLine(command));
  };
  os::FaultTranslatorScope translator(translateStructuredException);
  return guarded("vconsoleapp::start", __LINE__, describe, [&] {
    if (argc - 1 > 0) {
      command = argv[1];
      return go(argc - 2, argv + 2);
    }
    if (command.empty()) {
      usage();
      return 1;
    }
    return go(0, nullptr);
  });
}

int vconsoleapp::go(int, const std::u16string*) {
  throw vexception(u"Invalid command " + command, VCONTEXT("vconsoleapp::go"));
}

void vconsoleapp::usage() {
  throw vexception(u"Missing command parameter", VCONTEXT("vconsoleapp::usage"));
}

void vconsoleapp::cmdNotSupported(const std::u16string& possibleCommands) {
  throw vexception(u"command " + command + u" not supported. Possible commands:\n" + possibleCommands,
                   VCONTEXT("vconsoleapp::cmdNotSupported"));
}
