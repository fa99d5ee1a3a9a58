// --run-application-script: one configuration script of an installed application, run through
// its script processor as the site's system user, with the environment and parameters of a
// script request file. The script's output is logged; when it fails, it is the error.
#pragma once

#include <optional>
#include <string>

#include "siteapp/script_request.h"
#include "siteapp/site_application_manager.h"

// The environment block of a script: every name upper-cased unit by unit, names that
// upper-case alike merged (the one last in the ordinal order of the names as written wins),
// "NAME=value" entries in ordinal order of the upper-cased names, each ended by a NUL, and one
// more NUL. Nothing of the tool's own environment is added.
std::u16string scriptEnvironmentBlock(const ScriptEnvironment& environment);

// The command line of the processor: a program already in double quotes is taken as it is,
// any other is put in double quotes; then a space and the arguments.
std::u16string scriptCommandLine(const std::u16string& program, const std::u16string& arguments);

// The script's argument string: the script name, then, when the request has script
// parameters, a space (only after a non-empty name) and their text.
std::u16string scriptArgumentString(const std::u16string& scriptName, const std::optional<std::u16string>& params);

// The operations of the command on one manager (application full name, user name, account
// information). Failures are vexceptions whose context names the operation.
class ApplicationScriptRunner {
public:
  explicit ApplicationScriptRunner(const SiteApplicationManager& manager) : manager_(manager) {}

  // Reads the request file, checks the action, finds "<scriptFileName>.*" in the application's
  // "scripts" directory and runs it. A missing script is logged at Info ("Script '<name>' doesn't
  // exist") and is a success. Throws the loader's error, "Internal error: unable to find
  // script-processor element.", fsaCheckScript's error, "Invalid script directory" (no full
  // name), "Path (<name>) is outside of (<scripts directory>)" (a file name that leaves the
  // directory), the script processor's errors and fsaExecuteScript's.
  void fsaRunApplicationScript(const std::u16string& scriptFileName, const std::u16string& scriptName,
                               const std::u16string& requestFile) const;

  // Throws "Requested action can be one of values install, configure, ..." unless the name is an
  // action name in any letter case.
  static void fsaCheckScript(const std::u16string& scriptName);

  // Starts the program as the manager's user through the impersonation service, in
  // workingDirectory with only `environment`, no input; logs its output (stdout and stderr, at
  // most about 8 MiB) at Info and waits for it without limit (a cancellation point). Throws the
  // account lookup's and the service's errors, and a vexception whose whole message is the output
  // when the exit code is not 0.
  void fsaExecuteScript(const std::u16string& program, const std::u16string& arguments,
                        const std::u16string& workingDirectory, const std::u16string& scriptName,
                        const ScriptEnvironment& environment) const;

private:
  const SiteApplicationManager& manager_;
};
