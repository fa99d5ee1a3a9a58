// Script processors over a private package registry. That the command lines built here reach the
// script intact, with no shell, is script_runner_test's
// RunsAsTheSiteUserWithOnlyTheRequestsEnvironmentAndNoShell (Perl's: OutcomesOfTheCommand).
#include "siteapp/script_processor.h"

#include <gtest/gtest.h>

#include <tuple>

#include "os/text.h"
#include "siteapp/well_known_path.h"
#include "tests/support/failure.h"

using namespace testing_support;

namespace {

std::u16string w(const std::string& s) { return os::utf16FromUtf8(s); }

// The packages key, or one package's subkey with its value lines.
std::string packages(const std::string& package = {}, const std::string& values = {}) {
  return R"([HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Kelvo\ZRC Config\Config\Packages)" +
         (package.empty() ? "" : "\\" + package) + "]\n" + values;
}

// "program | processor arguments", or the message and first context's function of the failure.
std::string processorFor(const std::string& name, const std::string& script, const std::string& arguments) {
  std::u16string program = u"p", processorArguments = u"a";
  const Failure failed = failureOf([&] {
    SiteApplicationRepository::fsaGetScriptProcessor(w(name), w(script), w(arguments), program, processorArguments);
  });
  if (failed.message.empty()) return u8(program) + " | " + u8(processorArguments);
  // The outputs are left as they were.
  return failed.message + " @" + failed.context + (program + processorArguments == u"pa" ? "" : " !");
}

// A private registry and run directory; `body` is added to the store's text.
class ScriptProcessor : public ::testing::Test {
protected:
  void useRegistry(const std::string& body) {
    registry_.write("[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir_.file("run") + "\"\n" +
                    R"([HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Kelvo\ZRC Config\Config])" "\n"
                    "\"PipeConnectTryCount\"=dword:00000001\n" + body);
  }

  TempDir dir_;
  ScopedRegistry registry_;
};

TEST_F(ScriptProcessor, EachProcessorNameGivesItsProgramAndArguments) {
  const std::string drive = dir_.file("c");
  useRegistry(packages() + packages("script.php5", "@=\"php\"\n\"InstallDir\"=\"C:\\\\php5\"\n") +
              packages("script.php7", "@=\"PHP\"\n\"InstallDir\"=\"C:\\\\php 7\"\n\"IniFilePath\"=\"C:\\\\etc\\\\7&.ini\"\n") +
              packages("script.php56", "@=\"php56\"\n\"InstallDir\"=\"C:\\\\php56\\\\\"\n") +
              packages("script.php-perl", "@=\"Perl\"\n\"InstallDir\"=\"C:\\\\perl-php\"\n") +
              packages("script.phpnodir", "@=\"php8\"\n\"InstallDir\"=\"\"\n") +
              packages("script.phpnoname", "\"InstallDir\"=\"C:\\\\noname\"\n") +
              packages("legacy.script.php", "@=\"legacy\"\n\"InstallDir\"=\"C:\\\\legacy\"\n") +
              packages("Script.PHP9", "@=\"php9\"\n\"InstallDir\"=\"C:\\\\php9\"\n") +
              packages("script.phpd", "@=\"phpd\"\n\"InstallDir\"=\"D:\\\\php\"\n") +
              "[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix\\DosDevices]\n\"C:\"=\"" + drive + "\"\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\n"
              "\"SystemRoot\"=\"D:\\\\Win dows\"\n");
  // PHP opens its ini file itself: it gets the host's path.
  const std::string php = " -dvariables_order=EGPCS -dopen_basedir= -q ";
  const std::string unsupported = " @SiteApplicationRepository::fsaGetScriptProcessor";
  const std::tuple<std::string, std::string, std::string, std::string> cases[] = { // name, script, arguments, result
      // script.php7 is enumerated after script.php5 and offers the same name in another case.
      {"php", R"(C:\site\i.php)", "a b", R"("C:\php 7\php.exe" | -c ")" + drive + R"(/etc/7&.ini")" + php + R"(C:\site\i.php a b)"},
      {"Php56", R"(C:\my site\i.php)", "", R"(C:\php56\php.exe | -c )" + drive + "/php56/php.ini" + php + R"("C:\my site\i.php" )"},
      // A package comes before the built-in processor of its name (no service runs here).
      {"perl", R"(C:\site\i.pl)", "", R"(C:\perl-php\php.exe | -c )" + drive + "/perl-php/php.ini" + php + R"(C:\site\i.pl )"},
      {"VBScript", R"(C:\site\a&b.vbs)", "",
       R"("D:\Win dows\System32\cscript.exe" | /nologo //E:vbscript "C:\site\a&b.vbs" )"},
      {"jscript", R"(C:\site\s.js)", "--x", R"("D:\Win dows\System32\cscript.exe" | /nologo //E:jscript C:\site\s.js --x)"},
      {"Binary", R"(C:\site\run.exe)", R"(-x "y z")", R"(C:\site\run.exe | -x "y z")"},
      // Backslashes are doubled only before the closing quote or an embedded one.
      {"binary", R"(C:\my dir\a\"q\)", "", R"("C:\my dir\a\\\"q\\" | )"},
      // No install directory, no name, the prefix later in the key's name or in another case:
      // those packages offer nothing.
      {"php8", "s", "", "Unsupported script processor php8" + unsupported},
      {"legacy", "s", "", "Unsupported script processor legacy" + unsupported},
      {"php9", "s", "", "Unsupported script processor php9" + unsupported},
      // No name at all: not the package without one, nor any other.
      {"", "s", "", "Unsupported script processor " + unsupported},
      {"phpd", "s", "", R"(The path is not found (Error code 3) at Unable to locate D:\php\php.ini @RunTime::File::hostForm)"},
  };
  for (const auto& [name, script, arguments, expected] : cases)
    EXPECT_EQ(processorFor(name, script, arguments), expected) << name;
}

TEST_F(ScriptProcessor, FailuresOfTheSources) {
  const std::string key = "SOFTWARE\\Kelvo\\ZRC Config\\Config\\Packages";
  const std::pair<std::string, std::string> cases[] = {
      {"", "No such file or directory (Error code 2) at RegOpenKeyEx subKey=" + key + " @registry::open"},
      {packages("script.php", "@=dword:00000001\n"), "RegGetValue invalid type of '" + key + "\\script.php\\' @registry::lookup"},
  };
  for (const auto& [registry, message] : cases) {
    useRegistry(registry);
    EXPECT_EQ(processorFor("perl", "s", ""), message);
  }
  // Without SystemRoot the system folder is the default Windows directory's.
  EXPECT_EQ(getWellKnownPath(CSIDL_SYSTEM), u"C:\\Windows\\System32");
}

} // namespace
