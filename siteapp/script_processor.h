// The program that runs an application's configuration script, by the script processor the
// request names: a PHP package of the panel, the panel's Perl component, the script host for
// VBScript and JScript, or the script itself.
#pragma once

#include <string>

class SiteApplicationRepository {
public:
  // Sets `program` (quoted with quoteArgument) and `processorArguments` (the processor's options,
  // the quoted script path and `arguments`) for the processor `processorName`, compared without
  // regard to case:
  // - a name that a PHP package offers (package registry, subkeys "script.php*"; the package
  //   enumerated last wins): InstallDir\php.exe with its ini file (IniFilePath, else
  //   InstallDir\php.ini) as a host path, and the host's own extension configuration;
  // - "perl": the perl component's install directory (management service) + bin\perl.exe;
  // - "vbscript", "jscript": the system folder's cscript.exe;
  // - "binary": the script itself, with `arguments` unchanged.
  // PHP packages come first, so a package may take any of the other names. Nothing checks that
  // the program exists. Throws vexception "Unsupported script processor <name>" for any other
  // name, and what the package registry, the management service, getWellKnownPath or
  // RunTime::File::hostForm (an ini file on a drive that is not mapped) throw; the outputs are
  // then unchanged.
  static void fsaGetScriptProcessor(const std::u16string& processorName, const std::u16string& scriptPath,
                                    const std::u16string& arguments, std::u16string& program,
                                    std::u16string& processorArguments);
};
