#include "siteapp/script_processor.h"

#include <optional>

#include "runtime/core/command_line.h"
#include "runtime/core/exception.h"
#include "runtime/core/text.h"
#include "runtime/fs/path/filename.h"
#include "runtime/fs/root.h"
#include "service/kelvo_srv_client.h"
#include "siteapp/package_registry.h"
#include "siteapp/well_known_path.h"

namespace {

struct PhpInstallation {
  std::u16string interpreter;
  std::u16string iniFile;
};

// The PHP installation that offers the processor name. Every "script.php*" package is read in
// enumeration order and a later one replaces an earlier one of the same name, so the last wins.
std::optional<PhpInstallation> phpInstallation(const std::u16string& processorName) {
  std::optional<PhpInstallation> chosen;
  for (const std::u16string& package : listPackages(u"script.php")) {
    std::u16string offered = getPackageValue(package, u"");
    if (offered.empty()) continue;
    std::u16string installDir = getPackageValue(package, u"InstallDir");
    if (installDir.empty()) continue;
    std::u16string iniFile = getPackageValue(package, u"IniFilePath");
    if (iniFile.empty()) iniFile = VFileName::combine(installDir, u"php.ini");
    if (RunTime::striequal(offered, processorName))
      chosen = PhpInstallation{VFileName::combine(installDir, u"php.exe"), iniFile};
  }
  return chosen;
}

// The script host's program, for VBScript and JScript alike.
std::u16string scriptHost() { return quoteArgument(VFileName::combine(getWellKnownPath(CSIDL_SYSTEM), u"cscript.exe")); }

} // namespace

void SiteApplicationRepository::fsaGetScriptProcessor(const std::u16string& processorName,
                                                      const std::u16string& scriptPath,
                                                      const std::u16string& arguments, std::u16string& program,
                                                      std::u16string& processorArguments) {
  const std::u16string script = quoteArgument(scriptPath) + u" " + arguments;
  std::u16string chosenProgram, chosenArguments;
  if (std::optional<PhpInstallation> php = phpInstallation(processorName)) {
    chosenProgram = quoteArgument(php->interpreter);
    // PHP opens the ini file itself, so it gets the host's path. Without -n it also reads the
    // host's scan directory (conf.d) as -c leaves it: the extensions the host's PHP is built
    // with are loaded there.
    chosenArguments = u"-c " + quoteArgument(RunTime::File::hostForm(php->iniFile)) +
                      u" -dvariables_order=EGPCS -dopen_basedir= -q " + script;
  } else if (RunTime::striequal(processorName, u"perl")) {
    chosenProgram = quoteArgument(
        VFileName::combine(KelvoSrvClient::getInstance().componentInstallDirectory(u"perl"), u"bin\\perl.exe"));
    chosenArguments = script;
  } else if (RunTime::striequal(processorName, u"vbscript")) {
    chosenProgram = scriptHost();
    chosenArguments = u"/nologo //E:vbscript " + script;
  } else if (RunTime::striequal(processorName, u"jscript")) {
    chosenProgram = scriptHost();
    chosenArguments = u"/nologo //E:jscript " + script;
  } else if (RunTime::striequal(processorName, u"binary")) {
    chosenProgram = quoteArgument(scriptPath);
    chosenArguments = arguments;
  } else {
    throw vexception(u"Unsupported script processor " + processorName,
                     VCONTEXT("SiteApplicationRepository::fsaGetScriptProcessor"));
  }
  program = std::move(chosenProgram);
  processorArguments = std::move(chosenArguments);
}
