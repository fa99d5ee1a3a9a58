#include "siteapp/script_runner.h"

#include <array>

#include "os/path.h"
#include "os/text.h"
#include "runtime/core/exception.h"
#include "runtime/core/format.h"
#include "runtime/core/text.h"
#include "runtime/fs/finder.h"
#include "runtime/fs/path/filename.h"
#include "runtime/fs/root.h"
#include "runtime/log/log_file.h"
#include "runtime/log/log_manager.h"
#include "runtime/process/sid_client.h"
#include "runtime/process/vprocess.h"
#include "siteapp/script_processor.h"

namespace {

constexpr char kRun[] = "SiteApplicationManager::fsaRunApplicationScript";
constexpr char kCheck[] = "SiteApplicationManager::fsaCheckScript";
constexpr char kExecute[] = "SiteApplicationManager::fsaExecuteScript";

constexpr std::array<std::u16string_view, 7> kActions = {u"install", u"configure", u"upgrade", u"remove",
                                                         u"enable",  u"disable",   u"query"};

std::u16string upperCase(std::u16string text) {
  for (char16_t& unit : text) unit = os::toUpper(unit);
  return text;
}

// The first entry matching "<file name>.*" in the scripts directory, as a full path; nothing
// when none does (or the directory is missing). The file name comes from the caller and may not
// lead out of the directory.
std::optional<std::u16string> findScript(const std::u16string& scriptsDirectory, const std::u16string& scriptFileName) {
  const std::u16string pattern = scriptFileName + u".*";
  if (!RunTime::File::pathInside(pattern))
    throw vexception(formatString(u"Path (%s) is outside of (%s)", pattern, scriptsDirectory), VCONTEXT(kRun));
  VFileFinder finder;
  if (!finder.first(VFileName::combine(scriptsDirectory, pattern))) return std::nullopt;
  std::u16string found = VFileName::combine(scriptsDirectory, finder.name());
  finder.close();
  return found;
}

} // namespace

std::u16string scriptEnvironmentBlock(const ScriptEnvironment& environment) {
  ScriptEnvironment upper;
  for (const auto& [name, value] : environment) upper[upperCase(name)] = value;
  std::u16string block;
  for (const auto& [name, value] : upper) {
    block += name;
    block += u'=';
    block += value;
    block += u'\0';
  }
  block += u'\0';
  return block;
}

std::u16string scriptCommandLine(const std::u16string& program, const std::u16string& arguments) {
  const bool quoted = program.size() >= 2 && program.front() == u'"' && program.back() == u'"';
  return (quoted ? program : u"\"" + program + u"\"") + u" " + arguments;
}

std::u16string scriptArgumentString(const std::u16string& scriptName, const std::optional<std::u16string>& params) {
  std::u16string arguments = scriptName;
  if (params) {
    if (!arguments.empty()) arguments += u' ';
    arguments += *params;
  }
  return arguments;
}

void ApplicationScriptRunner::fsaRunApplicationScript(const std::u16string& scriptFileName,
                                                      const std::u16string& scriptName,
                                                      const std::u16string& requestFile) const {
  const ScriptRequest request = loadScriptRequest(requestFile);
  if (!scriptName.empty()) fsaCheckScript(scriptName);
  if (manager_.applicationFullName().empty()) throw vexception(u"Invalid script directory", VCONTEXT(kRun));
  const std::u16string scriptsDirectory = manager_.getApplicationRepositoryPath() + u"\\scripts";

  const std::optional<std::u16string> scriptPath = findScript(scriptsDirectory, scriptFileName);
  if (!scriptPath) {
    LogManager::instance().log(corelog::levelInfo, u"Script '%s' doesn't exist", scriptName);
    return;
  }
  std::u16string program, processorArguments;
  SiteApplicationRepository::fsaGetScriptProcessor(request.processorName, RunTime::File::hostForm(*scriptPath),
                                                   scriptArgumentString(scriptName, request.scriptParams), program,
                                                   processorArguments);
  LogManager::instance().log(corelog::levelInfo, u"Calling %s %s\n", os::shownPath(program), processorArguments);
  fsaExecuteScript(program, processorArguments, scriptsDirectory, scriptName, request.environment);
}

void ApplicationScriptRunner::fsaCheckScript(const std::u16string& scriptName) {
  for (std::u16string_view action : kActions)
    if (RunTime::striequal(scriptName, action)) return;
  std::u16string message = u"Requested action can be one of values ";
  for (std::size_t i = 0; i < kActions.size(); ++i) message += (i ? u", " : u"") + std::u16string(kActions[i]);
  throw vexception(message, VCONTEXT(kCheck));
}

void ApplicationScriptRunner::fsaExecuteScript(const std::u16string& program, const std::u16string& arguments,
                                               const std::u16string& workingDirectory, const std::u16string&,
                                               const ScriptEnvironment& environment) const {
  const std::u16string block = scriptEnvironmentBlock(environment);
  const std::u16string commandLine = scriptCommandLine(program, arguments);
  const RunTime::Sid user = manager_.userInformation()->getAccount(manager_.userName(), u"");

  RunTime::SIDClient client;
  const os::Handle process =
      client.exRunAsUserEx(user, false, u"", commandLine, workingDirectory, block, true, true, true, false);
  const std::u16string output = os::utf16FromUtf8(client.casyncReadTaskOutput());
  // The script writes what it likes: in the log its lines are marked as its own.
  const std::u16string logged = markedForLog(u"script output: ", output);
  LogManager::instance().log(corelog::levelInfo, u"Configuration script returns:\n%s", logged);
  if (VProcess::getExitCode(process.get()) != 0) {
    vexception failure(output, VCONTEXT(kExecute));
    failure.setLoggedMessage(logged);
    throw failure;
  }
}
