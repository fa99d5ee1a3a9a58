// The script request file, the environment block and the command line: pure text work, checked
// against tables. What reaches a real script is checked in script_runner_test.cpp.
#include "siteapp/script_request.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "os/text.h"
#include "siteapp/script_runner.h"
#include "tests/support/failure.h"

using namespace testing_support;

namespace {

// "processor / NAME=value;... / [params] (or -)", or "! message @function" of the failure.
std::string described(const std::string& path) {
  std::string text;
  const Failure failed = failureOf([&] {
    ScriptRequest request = loadScriptRequest(os::utf16FromUtf8(path));
    text = u8(request.processorName) + " /";
    for (const auto& [name, value] : request.environment) text += " " + u8(name) + "=" + u8(value) + ";";
    text += " / " + (request.scriptParams ? "[" + u8(*request.scriptParams) + "]" : "-");
  });
  return failed.message.empty() ? text : "! " + failed.message + " @" + failed.context;
}

TEST(ScriptRequest, FileContentGivesProcessorVariablesAndParameters) {
  TempDir dir;
  const std::string root = "<fsa-run-application-script>", end = "</fsa-run-application-script>";
  const std::pair<std::string, std::string> cases[] = {
      {root + "<script-processor>php</script-processor>" + end, "php / / -"},
      {root + "<script-processor/><script-params/>" + end, " / / []"},
      // Only the first child's text counts; a later variable of the same name wins; an empty
      // name is skipped, a missing value is empty; names keep their case.
      {root + "<script-processor>perl<!--c-->x</script-processor><environment>"
              "<variable name='db' value='1'/><variable name='db' value='2'/><variable name='' value='x'/>"
              "<variable value='y'/><variable name='Db'/><variable name='p' value='a &amp; &quot;b&quot;'/>"
              "</environment><script-params>-x \"y z\"</script-params>" + end,
       "perl / Db=; db=2; p=a & \"b\"; / [-x \"y z\"]"},
      // Only the paths named are read; a comment as first child gives its own text.
      {root + "<environment><variable name='a' value='1'/></environment><variable name='b' value='2'/>"
              "<other><script-processor>no</script-processor></other><script-processor><!--first-->php</script-processor>" + end,
       "first / a=1; / -"},
      {"<other><script-processor>php</script-processor></other>",
       "! Internal error: unable to find script-processor element. @SiteApplicationManager::fsaRunApplicationScript"},
  };
  for (const auto& [xml, expected] : cases) {
    writeFile(dir.file("request.xml"), xml);
    EXPECT_EQ(described(dir.file("request.xml")), expected) << xml;
  }
  // Not well-formed, missing, or no path at all: the loader's message with the path.
  writeFile(dir.file("broken.xml"), root + "<script-processor>");
  for (const std::string& path : {dir.file("broken.xml"), dir.file("missing.xml"), std::string()})
    EXPECT_NE(described(path).find(" at load " + path), std::string::npos) << path;
}

// Entries "NAME=value" each ended by a NUL, and one more NUL: written with '|' for NUL below.
TEST(ScriptRequest, EnvironmentBlockUpperCasesMergesAndSorts) {
  const std::pair<ScriptEnvironment, std::u16string> cases[] = {
      {{}, u"|"},
      {{{u"b", u"2"}, {u"A", u"1"}, {u"c_d", u""}}, u"A=1|B=2|C_D=||"},
      // The last in the ordinal order of the names as written (upper case first) wins.
      {{{u"path", u"low"}, {u"PATH", u"up"}, {u"Path", u"mixed"}}, u"PATH=low||"},
      {{{u"PATH", u"up"}, {u"Path", u"mixed"}}, u"PATH=mixed||"},
      {{{u"caf\u00e9", u"x=\u00e9"}}, u"CAF\u00c9=x=\u00e9||"},
  };
  for (auto [environment, block] : cases) {
    std::replace(block.begin(), block.end(), u'|', u'\0');
    EXPECT_EQ(scriptEnvironmentBlock(environment), block);
  }
}

TEST(ScriptRequest, CommandLineAndArgumentString) {
  // A program in quotes is taken as it is; anything else, a lone quote included, is quoted.
  const std::pair<std::u16string, std::u16string> lines[] = {
      {u"\"C:\\php 8\\php.exe\"", u"\"C:\\php 8\\php.exe\" -q"}, {u"C:\\php.exe", u"\"C:\\php.exe\" -q"},
      {u"", u"\"\" -q"}, {u"\"", u"\"\"\" -q"}};
  for (const auto& [program, line] : lines) EXPECT_EQ(u8(scriptCommandLine(program, u"-q")), u8(line));
  // A present but empty script-params element still adds the space after the name. (No action
  // word before the parameters is the script runner's OutcomesOfTheCommand.)
  EXPECT_EQ(scriptArgumentString(u"install", std::nullopt), u"install");
  EXPECT_EQ(scriptArgumentString(u"install", u""), u"install ");
}

} // namespace
