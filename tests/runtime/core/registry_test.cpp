#include "runtime/core/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "runtime/core/text.h"
#include "tests/support/failure.h"

using namespace registry;
using testing_support::ScopedRegistry;
using testing_support::u8;

namespace {

// The 32-bit view keeps the product values below WOW6432Node.
const char kConfig[] = R"([HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Kelvo\ZRC Config\Config]
"Debug"="yes"
"Short"=hex(4):01,02
"Count"=dword:00000007
"Root"=hex(2):25,00,54,00,41,00,56,00,52,00,49,00,58,00,5f,00,44,00,41,00,54,00,41,00,25,00,\
  5c,00,78,00,00,00
"Nul"=hex(1):61,00,00,00,62,00,00,00
[HKEY_LOCAL_MACHINE\SOFTWARE\Kelvo\ZRC Config\Config]
"Count"=dword:00000040
)";

constexpr char16_t kPackages[] = u"SOFTWARE\\Kelvo\\ZRC Config\\Config\\Packages";

// "<message> @<function of the first context>" of the vexception the call throws.
std::string failure(const std::function<void()>& call) {
  const testing_support::Failure f = testing_support::failureOf(call);
  return f.message + " @" + f.context;
}

TEST(Registry, FailuresCarryTheirMessagesAndContexts) {
  ScopedRegistry reg(kConfig);
  Key config(HKEY_LOCAL_MACHINE, PRODUCT_CONFIG_KEY, KEY_ALL_ACCESS, true);
  Key readOnly(HKEY_LOCAL_MACHINE, PRODUCT_CONFIG_KEY, KEY_READ, true);
  const std::string missing = "No such file or directory (Error code 2) at ";
  const std::string quoted = "'SOFTWARE\\Kelvo\\ZRC Config\\Config\\";
  std::uint32_t dword = 0;
  // What the call threw and what it should have. An open of a missing key and a lookup of text of
  // another type are rows of ScriptProcessor.FailuresOfTheSources (tests/siteapp), exactly.
  const std::pair<std::string, std::string> cases[] = {
      {failure([] { Key(HKEY_USERS, u"A\nB", KEY_READ, false); }),
       "Invalid argument (Error code 87) at RegCreateKeyEx subKey=A\nB @registry::create"},
      {failure([&] { get(config, u"Missing"); }),
       missing + "RegQueryValueEx valueName=Missing @registry::get"},
      {failure([&] { get(config, u"Debug"); }), "Type mismatch valueName=Debug @registry::get"},
      {failure([&] { get(config, u"Short"); }), "size mismatch valueName=Short @registry::get"},
      {failure([&] { getString(config, u"Missing"); }),
       missing + "RegGetValue valueName=Missing @registry::get"},
      {failure([&] { getString(config, u"Count"); }), "Type mismatch valueName=Count @registry::get"},
      {failure([&] { lookup(HKEY_LOCAL_MACHINE, PRODUCT_CONFIG_KEY, u"Debug", dword, VIEW_32); }),
       "RegQueryValueEx invalid type of " + quoted + "Debug' @registry::lookup"},
      {failure([&] { lookup(HKEY_LOCAL_MACHINE, PRODUCT_CONFIG_KEY, u"Short", dword, VIEW_32); }),
       "RegQueryValueEx invalid size of " + quoted + "Short' @registry::lookup"},
      {failure([] { getstr(HKEY_LOCAL_MACHINE, PRODUCT_CONFIG_KEY, u"Missing", VIEW_32); }),
       missing + "lookup subKey=SOFTWARE\\Kelvo\\ZRC Config\\Config value=Missing @registry::getstr"},
      {failure([&] { set(readOnly, u"X", 1u); }),
       "Permission denied (Error code 5) at RegSetValueEx valueName=X @registry::set"},
  };
  for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
  EXPECT_THROW(Key(HKEY_LOCAL_MACHINE, u"SOFTWARE\\None", KEY_READ, true), VFileNotFoundException);
}

// A product value read from the 32-bit view, or its default when absent (productDword), decides
// what reaches the log: LogFileSink.SwitchesDecideWhatReachesTheFile (tests/e2e).
TEST(Registry, LookupsReturnStatusesAndStringsExpand) {
  ScopedRegistry reg(kConfig);
  std::uint32_t dword = 5;
  EXPECT_EQ(lookup(HKEY_LOCAL_MACHINE, PRODUCT_CONFIG_KEY, u"Count", dword, VIEW_64), 0u);
  EXPECT_EQ(dword, 0x40u);
  EXPECT_EQ(lookup(HKEY_LOCAL_MACHINE, PRODUCT_CONFIG_KEY, u"Absent", dword, 3), 2u);
  EXPECT_EQ(lookup(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nowhere", u"Count", dword, VIEW_32), 2u);
  EXPECT_EQ(dword, 0x40u);
  std::u16string text = u"unchanged";
  EXPECT_EQ(lookup(HKEY_LOCAL_MACHINE, PRODUCT_CONFIG_KEY, u"Absent", text, VIEW_32), 2u);
  EXPECT_EQ(text, u"unchanged");
  EXPECT_TRUE(exists(HKEY_LOCAL_MACHINE, PRODUCT_CONFIG_KEY, VIEW_32));
  EXPECT_FALSE(exists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Kelvo\\Other", VIEW_DEFAULT));
  Key config(HKEY_LOCAL_MACHINE, PRODUCT_CONFIG_KEY, KEY_READ, true);
  EXPECT_EQ(get(config, u"Debug", 3), 3u);
  EXPECT_EQ(get(Key(), u"Count", 4), 4u);
  // Strings read expand their variables and stop at the first NUL.
  setenv("TAVRIX_DATA", "/data", 1);
  EXPECT_EQ(u8(getstr(HKEY_LOCAL_MACHINE, PRODUCT_CONFIG_KEY, u"Root", VIEW_32)), "/data\\x");
  unsetenv("TAVRIX_DATA");
  EXPECT_EQ(u8(getstr(HKEY_LOCAL_MACHINE, PRODUCT_CONFIG_KEY, u"Root", VIEW_32)), "%TAVRIX_DATA%\\x");
  EXPECT_EQ(u8(getString(Key(HKEY_LOCAL_MACHINE, PRODUCT_CONFIG_KEY, KEY_READ | KEY_WOW64_32KEY, true), u"nul")), "a");
}

// Subkeys are listed once each, in the order of their upper-case names ("_" after letters), a
// key named only by a deeper one's section included.
TEST(Registry, WrittenValuesAndSubkeysReadBack) {
  ScopedRegistry reg(R"([HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Kelvo\ZRC Config\Config\Packages\_under\Deep])");
  std::u16string base(kPackages);
  Key php7(HKEY_LOCAL_MACHINE, base + u"\\script.php7", KEY_ALL_ACCESS | KEY_WOW64_32KEY, false);
  set(php7, u"", u"php7");
  set(php7, u"Version", 7u);
  Key(HKEY_LOCAL_MACHINE, base + u"\\Script.PHP5", KEY_WRITE, false);
  Key(HKEY_LOCAL_MACHINE, base + u"\\apache", KEY_WRITE, false);
  Key packages(HKEY_LOCAL_MACHINE, base, KEY_READ | KEY_WOW64_32KEY, true);
  std::vector<std::u16string> names = {u"kept"};
  EXPECT_EQ(subkeyNames(packages, names), 259u);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"kept", u"apache", u"Script.PHP5", u"script.php7", u"_under"}));
  EXPECT_EQ(u8(getstr(HKEY_LOCAL_MACHINE, base + u"\\SCRIPT.php7", u"", VIEW_32)), "php7");
  EXPECT_EQ(get(php7, u"VERSION"), 7u);
}

TEST(Registry, MalformedStoreIsAnErrorNamingFileAndLine) {
  ScopedRegistry reg("[HKEY_LOCAL_MACHINE\\SYSTEM\\X]\n\"v\"=dword:nothex\n");
  const std::string message = "Malformed registry file " + reg.path() + " line 4: invalid dword value";
  const std::pair<std::function<void()>, const char*> calls[] = {
      {[] { Key(HKEY_LOCAL_MACHINE, u"SYSTEM\\X", KEY_READ, true); }, "open"},
      {[] { Key(HKEY_LOCAL_MACHINE, u"SYSTEM\\Y", KEY_READ, false); }, "create"},
      {[] { productDword(u"Debug", 0); }, "lookup"},
      {[] { exists(HKEY_LOCAL_MACHINE, u"SYSTEM\\X", VIEW_DEFAULT); }, "open"}};
  for (const auto& [call, context] : calls) EXPECT_EQ(failure(call), message + " @registry::" + context);
}

// A store that cannot be read (malformed, or a code page that is not text) is UTF-8: the dword row.
TEST(Registry, AnsiCodePageComesFromTheRegistry) {
  const std::string key = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage]\n";
  // The store's body and the code page read from it.
  const std::pair<std::string, std::uint32_t> cases[] = {
      {key + "\"ACP\"=\"1252\"\n", 1252},   {key + "\"ACP\"=\"866\"\n", 866},
      {"", CP_UTF8},                        {key + "\"ACP\"=\"12x\"\n", CP_UTF8},
      {key + "\"ACP\"=\"99999\"\n", CP_UTF8}, {key + "\"ACP\"=dword:000004e4\n", CP_UTF8},
  };
  for (const auto& [body, expected] : cases) {
    ScopedRegistry reg(body);
    EXPECT_EQ(ansiCodePage(), expected) << body;
  }
  ScopedRegistry reg(key + "\"ACP\"=\"1252\"\n");
  EXPECT_EQ(cstr(u"\u00e9", CP_ACP), "\xE9");
}

} // namespace
