// The script request file, the environment block, the command line and the action check: pure
// text work, checked against tables.
#include "siteapp/script_request.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "os/text.h"
#include "runtime/core/exception.h"
#include "siteapp/script_runner.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

std::u16string w(const std::string& s) { return os::utf16FromUtf8(s); }

// The block with its NULs shown as '|'.
std::string shown(std::u16string block) {
  for (char16_t& unit : block)
    if (unit == u'\0') unit = u'|';
  return u8(block);
}

// "processor / NAME=value;... / params (or -)", or "! message @function" of the failure.
std::string described(const std::string& path) {
  try {
    ScriptRequest request = loadScriptRequest(w(path));
    std::string text = u8(request.processorName) + " /";
    for (const auto& [name, value] : request.environment) text += " " + u8(name) + "=" + u8(value) + ";";
    return text + " / " + (request.scriptParams ? "[" + u8(*request.scriptParams) + "]" : "-");
  } catch (const vexception& e) {
    return "! " + u8(e.message()) + " @" + e.contexts().front().function;
  }
}

TEST(ScriptRequest, FileContentGivesProcessorVariablesAndParameters) {
  TempDir dir;
  const std::string root = "<fsa-run-application-script>";
  const std::string end = "</fsa-run-application-script>";
  const std::string noProcessor =
      "! Internal error: unable to find script-processor element. @SiteApplicationManager::fsaRunApplicationScript";
  struct Case {
    std::string xml, expected;
  };
  const Case cases[] = {
      {root + "<script-processor>php</script-processor>" + end, "php / / -"},
      {root + "<script-processor/><script-params/>" + end, " / / []"},
      // Only the first child's text counts; a later variable of the same name wins; an empty
      // name is skipped, a missing value is empty; names keep their case.
      {root + "<script-processor>perl<!--c-->x</script-processor><environment>"
              "<variable name='db' value='1'/><variable name='db' value='2'/><variable name='' value='x'/>"
              "<variable value='y'/><variable name='Db'/><variable name='p' value='a &amp; &quot;b&quot;'/>"
              "</environment><script-params>-x \"y z\"</script-params>" + end,
       "perl / Db=; db=2; p=a & \"b\"; / [-x \"y z\"]"},
      // Elements outside the paths read are ignored, as are variables in another place; a
      // comment as first child gives its own text.
      {root + "<environment><variable name='a' value='1'/></environment><variable name='b' value='2'/>"
              "<other><script-processor>no</script-processor></other><script-processor><!--first-->php</script-processor>" + end,
       "first / a=1; / -"},
      {"<other><script-processor>php</script-processor></other>", noProcessor},
      {root + "<Script-Processor>php</Script-Processor>" + end, noProcessor},
      // A DTD that the document breaks fails validation.
      {"<!DOCTYPE fsa-run-application-script [<!ELEMENT fsa-run-application-script EMPTY>]>" + root +
           "<script-processor>php</script-processor>" + end,
       "validation"},
  };
  for (const Case& c : cases) {
    writeFile(dir.file("request.xml"), c.xml);
    const std::string result = described(dir.file("request.xml"));
    if (c.expected == "validation")
      EXPECT_TRUE(result.starts_with("! ") && result.find(" at load " + dir.file("request.xml")) != std::string::npos) << result;
    else
      EXPECT_EQ(result, c.expected) << c.xml;
  }
  // Not well-formed, missing, or no path at all: the loader's message with the path.
  writeFile(dir.file("broken.xml"), root + "<script-processor>");
  for (const std::string& path : {dir.file("broken.xml"), dir.file("missing.xml"), std::string()})
    EXPECT_NE(described(path).find(" at load " + path), std::string::npos) << path;
}

TEST(ScriptRequest, ValuesAreReencodedThroughTheAnsiCodePage) {
  ScopedRegistry registry;
  struct Case {
    std::string codePage;
    std::u16string value, expected;
  };
  const Case cases[] = {
      {"", u"caf\u00e9 \u20ac", u"caf\u00e9 \u20ac"},
      {"65001", u"\u65e5\u672c", u"\u65e5\u672c"},
      // The UTF-8 bytes C3 A9 read as Windows-1252.
      {"1252", u"caf\u00e9", u"caf\u00c3\u00a9"},
      // E2 82 AC: the euro sign's bytes, each one a character of 1252.
      {"1252", u"\u20ac", u"\u00e2\u201a\u00ac"},
  };
  for (const Case& c : cases) {
    registry.write(c.codePage.empty() ? std::string()
                                      : "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage]\n"
                                        "\"ACP\"=\"" + c.codePage + "\"\n");
    EXPECT_EQ(reencodeScriptValue(c.value), c.expected) << c.codePage;
  }
}

TEST(ScriptEnvironment, BlockUpperCasesMergesAndSorts) {
  struct Case {
    ScriptEnvironment environment;
    std::string expected;
  };
  const Case cases[] = {
      {{}, "|"},
      {{{u"b", u"2"}, {u"A", u"1"}, {u"c_d", u""}}, "A=1|B=2|C_D=||"},
      // Names that differ in case only: the last in the ordinal order of the names as written
      // (upper-case letters first) wins, whatever their order in the file.
      {{{u"path", u"low"}, {u"PATH", u"up"}, {u"Path", u"mixed"}}, "PATH=low||"},
      {{{u"PATH", u"up"}, {u"Path", u"mixed"}}, "PATH=mixed||"},
      // Upper-casing is Unicode's, unit by unit; values are left alone.
      {{{u"caf\u00e9", u"x=y\u00e9"}}, "CAF\u00c9=x=y\u00e9||"},
  };
  // The block is the entries, each ended by a NUL, and one more NUL.
  for (const Case& c : cases) EXPECT_EQ(shown(scriptEnvironmentBlock(c.environment)), c.expected);
}

TEST(ScriptCommand, CommandLineAndArgumentString) {
  const std::pair<std::u16string, std::u16string> lines[] = {
      {u"\"C:\\php 8\\php.exe\"", u"\"C:\\php 8\\php.exe\" -q s"},
      {u"C:\\php\\php.exe", u"\"C:\\php\\php.exe\" -q s"},
      {u"", u"\"\" -q s"},
      // A lone quote is not a quoted program.
      {u"\"", u"\"\"\" -q s"},
      {u"\"a", u"\"\"a\" -q s"},
  };
  for (const auto& [program, expected] : lines) EXPECT_EQ(u8(scriptCommandLine(program, u"-q s")), u8(expected));

  struct Arguments {
    std::u16string scriptName;
    std::optional<std::u16string> params;
    std::u16string expected;
  };
  const Arguments arguments[] = {
      {u"install", std::nullopt, u"install"},
      {u"install", u"", u"install "},
      {u"Configure", u"a \"b c\"", u"Configure a \"b c\""},
      {u"", u"a b", u"a b"},
      {u"", std::nullopt, u""},
  };
  for (const Arguments& a : arguments)
    EXPECT_EQ(u8(scriptArgumentString(a.scriptName, a.params)), u8(a.expected));
}

TEST(ScriptCommand, ActionNamesInAnyCase) {
  for (const char16_t* name : {u"install", u"INSTALL", u"Configure", u"upgrade", u"remove", u"enable", u"disable", u"qUeRy"})
    EXPECT_NO_THROW(ApplicationScriptRunner::fsaCheckScript(name)) << u8(name);
  for (const char16_t* name : {u"", u"installs", u" install", u"uninstall", u"status"}) {
    try {
      ApplicationScriptRunner::fsaCheckScript(name);
      ADD_FAILURE() << u8(name) << " passed";
    } catch (const vexception& e) {
      EXPECT_EQ(u8(e.message()),
                "Requested action can be one of values install, configure, upgrade, remove, enable, disable, query");
      EXPECT_EQ(e.contexts().front().function, "SiteApplicationManager::fsaCheckScript");
    }
  }
}

} // namespace
