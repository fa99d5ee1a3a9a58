// Script processors over a private package registry, the reference management service and, where
// a script runs, the host's real PHP and Perl.
#include "siteapp/script_processor.h"

#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "os/path.h"
#include "os/text.h"
#include "runtime/core/command_line.h"
#include "runtime/core/exception.h"
#include "siteapp/well_known_path.h"
#include "tests/service/service_process.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

std::u16string w(const std::string& s) { return os::utf16FromUtf8(s); }

const std::string kPackages = R"([HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Kelvo\ZRC Config\Config\Packages)";

struct Processor {
  std::string program, arguments;
  bool operator==(const Processor&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Processor& p) { return out << p.program << " | " << p.arguments; }

Processor processorFor(const std::string& name, const std::string& script, const std::string& arguments) {
  std::u16string program, processorArguments;
  SiteApplicationRepository::fsaGetScriptProcessor(w(name), w(script), w(arguments), program, processorArguments);
  return {u8(program), u8(processorArguments)};
}

// The message of what the call throws and the function of its first context.
std::string failureOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const vexception& e) {
    return u8(e.message()) + (e.contexts().empty() ? "" : " @" + e.contexts().front().function);
  }
  return "no exception";
}

// A private registry and run directory; `body` is added to the store's text.
class ScriptProcessor : public ::testing::Test {
protected:
  void useRegistry(const std::string& body) {
    registry_.write("[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir_.file("run") + "\"\n" +
                    R"([HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Kelvo\ZRC Config\Config])" "\n"
                    "\"PipeConnectTryCount\"=dword:00000001\n" + body);
  }
  std::unique_ptr<ServiceProcess> startService() {
    return std::make_unique<ServiceProcess>(registry_.path(), dir_.file("run/pipe/zrcpipe"));
  }

  TempDir dir_;
  ScopedRegistry registry_;
};

TEST_F(ScriptProcessor, EachProcessorNameGivesItsProgramAndArguments) {
  useRegistry(kPackages + "]\n" +
              kPackages + R"(\script.php5]
@="php"
"InstallDir"="C:\\php5"
)" + kPackages + R"(\script.php7]
@="PHP"
"InstallDir"="C:\\php 7"
"IniFilePath"="C:\\etc\\php&7.ini"
)" + kPackages + R"(\script.php56]
@="php56"
"InstallDir"="C:\\php56\\"
)" + kPackages + R"(\script.phpnodir]
@="php8"
"InstallDir"=""
)" + kPackages + R"(\script.phpnoname]
"InstallDir"="C:\\noname"
)" + kPackages + R"(\legacy.script.php]
@="legacy"
"InstallDir"="C:\\legacy"
)" + kPackages + R"(\Script.PHP9]
@="php9"
"InstallDir"="C:\\php9"
[HKEY_LOCAL_MACHINE\SOFTWARE\Tavrix\Components\perl]
"InstallDir"="C:\\Strawberry Perl\\.\\"
)");
  auto service = startService();
  const std::string phpOptions = " -dvariables_order=EGPCS -dopen_basedir= -n -q ";
  struct Case {
    std::string name, script, arguments;
    Processor expected; // an empty program: the name is not supported
  };
  const Case cases[] = {
      // script.php7 is enumerated after script.php5 and offers the same name in another case.
      {"php", R"(C:\site\install.php)", "a b",
       {R"("C:\php 7\php.exe")", R"(-c "C:\etc\php&7.ini")" + phpOptions + R"(C:\site\install.php a b)"}},
      {"Php56", R"(C:\my site\install.php)", "",
       {R"(C:\php56\php.exe)", R"(-c C:\php56\php.ini)" + phpOptions + R"("C:\my site\install.php" )"}},
      {"PERL", R"(C:\site\install.pl)", "x",
       {R"("C:\Strawberry Perl\bin\perl.exe")", R"(C:\site\install.pl x)"}},
      {"VBScript", R"(C:\site\a&b.vbs)", "",
       {R"(C:\Windows\System32\cscript.exe)", R"(/nologo //E:vbscript "C:\site\a&b.vbs" )"}},
      {"jscript", R"(C:\site\s.js)", "--x",
       {R"(C:\Windows\System32\cscript.exe)", R"(/nologo //E:jscript C:\site\s.js --x)"}},
      {"Binary", R"(C:\site\run.exe)", R"(-x "y z")", {R"(C:\site\run.exe)", R"(-x "y z")"}},
      {"binary", R"(C:\site\run.exe)", "", {R"(C:\site\run.exe)", ""}},
      // A package without an install directory, one with no name and one whose key only holds
      // the prefix later in its name offer nothing; the prefix is case-sensitive.
      {"php8", "s", "", {}},
      {"legacy", "s", "", {}},
      {"php9", "s", "", {}},
      {"python", "s", "", {}},
  };
  for (const Case& c : cases) {
    if (c.expected.program.empty())
      EXPECT_EQ(failureOf([&] { processorFor(c.name, c.script, c.arguments); }),
                "Unsupported script processor " + c.name + " @SiteApplicationRepository::fsaGetScriptProcessor");
    else
      EXPECT_EQ(processorFor(c.name, c.script, c.arguments), c.expected) << c.name;
  }
}

TEST_F(ScriptProcessor, PathsAreQuotedOnlyWhenTheyNeedIt) {
  useRegistry(kPackages + "]\n");
  const std::pair<std::string, std::string> cases[] = {
      {R"(C:\site\install.exe)", R"(C:\site\install.exe)"},
      {R"(C:\my site\install.exe)", R"("C:\my site\install.exe")"},
      {R"(C:\site\a&b.exe)", R"("C:\site\a&b.exe")"},
      {R"(C:\my dir\)", R"("C:\my dir\\")"},
      {R"(C:\my dir\\)", R"("C:\my dir\\\\")"},
      {R"(C:\a\"q".exe)", R"("C:\a\\\"q\".exe")"},
      {"x\ty", "\"x\ty\""},
      {"", R"("")"},
  };
  for (const auto& [script, quoted] : cases) {
    EXPECT_EQ(processorFor("binary", script, "").program, quoted) << script;
    // What is quoted reads back as the one argument it was.
    EXPECT_EQ(splitCommandLine(u"p " + w(quoted)), (std::vector<std::u16string>{u"p", w(script)})) << script;
  }
}

TEST_F(ScriptProcessor, APackageTakesEveryBuiltInName) {
  std::string body = kPackages + "]\n";
  for (const char* name : {"perl", "VBSCRIPT", "jscript", "binary"})
    body += kPackages + "\\script.php-" + name + "]\n@=\"" + name + "\"\n\"InstallDir\"=\"C:\\\\" + name + "\"\n";
  useRegistry(body);
  // No service runs: perl is not asked of it.
  for (const char* name : {"Perl", "vbscript", "JScript", "BINARY"})
    EXPECT_TRUE(processorFor(name, "s", "").program.ends_with("\\php.exe")) << name;
}

TEST_F(ScriptProcessor, FailuresLeaveTheOutputsUnchanged) {
  struct Case {
    const char* what;
    std::string registry, name, message;
  };
  const Case cases[] = {
      {"no package registry", "", "binary",
       "No such file or directory (Error code 2) at RegOpenKeyEx subKey=SOFTWARE\\Kelvo\\ZRC "
       "Config\\Config\\Packages @registry::open"},
      {"a package value of another type", kPackages + "\\script.php]\n@=dword:00000001\n", "php",
       "RegGetValue invalid type of 'SOFTWARE\\Kelvo\\ZRC Config\\Config\\Packages\\script.php\\' "
       "@registry::lookup"},
      {"no management service", kPackages + "]\n", "perl",
       "No such file or directory (Error code 2) at Unable to connect to pipe \\\\.\\pipe\\zrcpipe "
       "@Con::ClientOverlappedPipe::create"},
  };
  for (const Case& c : cases) {
    useRegistry(c.registry);
    std::u16string program = u"p", arguments = u"a";
    EXPECT_EQ(failureOf([&] {
                SiteApplicationRepository::fsaGetScriptProcessor(w(c.name), u"s", u"", program, arguments);
              }),
              c.message)
        << c.what;
    EXPECT_EQ(program + arguments, u"pa") << c.what;
  }
}

TEST_F(ScriptProcessor, TheSystemFolderComesFromSystemRoot) {
  useRegistry("");
  EXPECT_EQ(getWellKnownPath(CSIDL_SYSTEM), u"C:\\Windows\\System32");
  useRegistry(R"([HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion]
"SystemRoot"="D:\\Win dows"
)" + kPackages + "]\n");
  EXPECT_EQ(getWellKnownPath(CSIDL_SYSTEM), u"D:\\Win dows\\System32");
  EXPECT_EQ(processorFor("vbscript", "s", "").program, R"("D:\Win dows\System32\cscript.exe")");
  EXPECT_EQ(failureOf([] { getWellKnownPath(0x24); }), "SHGetSpecialFolderPath failed for index 36 @getWellKnownPath");
}

// The host's interpreters behind a PHP package and the perl component, as the panel installs
// them, run the command line exactly as it was built: no shell, every argument intact.
TEST_F(ScriptProcessor, TheHostsPhpAndPerlRunTheScriptWithItsArguments) {
  for (const char* host : {"/usr/bin/php", "/usr/bin/perl"})
    if (::access(host, X_OK) != 0) GTEST_SKIP() << host << " is missing (./test.sh installs php-cli)";
  const std::string c = dir_.file("c");
  writeFile(c + "/php 8.2/.keep", "");
  writeFile(c + "/perl/bin/.keep", "");
  ASSERT_EQ(::symlink("/usr/bin/php", (c + "/php 8.2/php.exe").c_str()), 0);
  ASSERT_EQ(::symlink("/usr/bin/perl", (c + "/perl/bin/perl.exe").c_str()), 0);
  useRegistry("[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix\\DosDevices]\n\"C:\"=\"" + c + "\"\n" + kPackages + "]\n" +
              kPackages + R"(\script.php82]
@="php"
"InstallDir"="C:\\php 8.2"
[HKEY_LOCAL_MACHINE\SOFTWARE\Tavrix\Components\perl]
"InstallDir"="C:\\perl"
)");
  auto service = startService();
  // The interpreters see host paths; a script path is handed on as it is.
  const std::string scripts = dir_.file("my site & $(x)");
  writeFile(scripts + "/install.php", "<?php foreach ($argv as $a) echo $a, \"\\n\";");
  writeFile(scripts + "/install.pl", "print \"$0\\n\"; print \"$_\\n\" for @ARGV;");
  const std::vector<std::u16string> arguments = {u"a b", u"x&y|z;w", u"$(touch /tmp/tvx-shell)", u"\"q\" 'r'",
                                                 u"back\\slash\\", u"`id`", u""};
  for (const char* processor : {"php", "perl"}) {
    const std::string script = scripts + (processor == std::string("php") ? "/install.php" : "/install.pl");
    std::u16string program, processorArguments;
    SiteApplicationRepository::fsaGetScriptProcessor(w(processor), w(script), joinCommandLine(arguments), program,
                                                     processorArguments);
    std::vector<std::u16string> split = splitCommandLine(program + u" " + processorArguments);
    std::vector<std::string> argv = {os::hostPath(split[0]).value()};
    for (std::size_t i = 1; i < split.size(); ++i) argv.push_back(u8(split[i]));
    ProcessResult run = runProcess(argv);
    EXPECT_EQ(run.exitCode, 0) << processor << ": " << run.err;
    std::string lines;
    for (const std::u16string& a : arguments) lines += u8(a) + "\n";
    EXPECT_EQ(run.out, script + "\n" + lines) << processor;
  }
  EXPECT_NE(::access("/tmp/tvx-shell", F_OK), 0) << "a shell ran";
}

} // namespace
