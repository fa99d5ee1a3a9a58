#include "os/registry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>

#include "tests/support/testing.h"

using namespace os::registry;
using testing_support::readFile;
using testing_support::ScopedEnv;
using testing_support::ScopedRegistry;
using testing_support::TempDir;
using testing_support::writeFile;
using testing_support::u8;

namespace {

Value sz(std::u16string name, std::u16string_view text) {
  return {std::move(name), REG_SZ, stringData(text)};
}

// The Win32 code of a write.
std::uint32_t set(const KeyHandle& key, const Value& value) { return setValue(key, value).code(); }

// The text of a string value, or "error <code>".
std::string read(Root root, std::u16string_view key, std::u16string_view name,
                 std::uint32_t access = KEY_READ) {
  os::Result<KeyHandle> k = openKey(root, key, access);
  os::Result<Value> v = k.ok() ? queryValue(k.value(), name) : os::Result<Value>::failure(k.code());
  if (!v.ok()) return "error " + std::to_string(v.code());
  return u8(stringOf(v.value()).value());
}

pid_t startChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

int waitChild(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Registry, StatusesOfMissingRightsAndBadNames) {
  ScopedRegistry reg("[HKEY_USERS\\K]\n\"v\"=\"1\"\n");
  struct Case { const char* what; std::uint32_t code; std::uint32_t expected; };
  const Case cases[] = {
      {"no query right", queryValue(openKey(Root::Users, u"K", 0x20000).value(), u"v").code(), 5},
      {"no enumerate right", enumSubkey(openKey(Root::Users, u"K", 1).value(), 0).code(), 5},
      {"generic read", queryValue(openKey(Root::Users, u"K", 0x80000000).value(), u"v").code(), 0},
      {"line break in a name", set(openKey(Root::Users, u"K", KEY_ALL_ACCESS).value(), sz(u"a\nb", u"")), 87},
  };
  for (const Case& c : cases) EXPECT_EQ(c.code, c.expected) << c.what;
}

// The views' flags and the default view of reads and of keys made are the wrapper's (runtime/core's
// Registry lookups and WrittenValuesAndSubkeysReadBack); here, a path that names the 32-bit view
// itself, in any case and any view.
TEST(Registry, SoftwareIsSeenThroughTheViews) {
  ScopedRegistry reg(R"([HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Kelvo]
"View"="32"
)");
  for (std::uint32_t view : {0u, 0x100u, 0x200u})
    EXPECT_EQ(read(Root::LocalMachine, u"SOFTWARE\\wow6432node\\Kelvo", u"View", KEY_READ | view), "32") << view;
}

// That a store named by TAVRIX_REGISTRY must exist, and is not made by a write, is
// Operator.AMissingStoreNamedByTheEnvironmentIsAnError's (the whole tool, its exact message).
TEST(Registry, WritesGiveTheStoresTextAndKeepItsMode) {
  ScopedRegistry reg;
  KeyHandle key = createKey(Root::Users, u"A\\B", KEY_ALL_ACCESS).value();
  ASSERT_EQ(set(key, sz(u"v", u"1")), 0u);
  EXPECT_EQ(readFile(reg.path()),
            "Windows Registry Editor Version 5.00\n\n[HKEY_USERS\\A\\B]\n\"v\"=\"1\"\n");
  chmod(reg.path().c_str(), 0640);
  ASSERT_EQ(set(key, sz(u"v", u"2")), 0u);
  struct stat st;
  ASSERT_EQ(stat(reg.path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(read(Root::Users, u"a\\b", u"v"), "2");
}

// Readers see what other processes wrote, through the store or by hand; two processes that
// write at once lose no value.
TEST(Registry, WritesOfOtherProcessesAreSeenAndNoneIsLost) {
  ScopedRegistry reg("[HKEY_USERS\\K]\n\"v\"=\"old\"\n");
  EXPECT_EQ(read(Root::Users, u"K", u"v"), "old");
  reg.write("[HKEY_USERS\\K]\n\"v\"=\"edited by hand\"\n");
  EXPECT_EQ(read(Root::Users, u"K", u"v"), "edited by hand");

  std::vector<pid_t> writers;
  for (char16_t prefix : {u'1', u'2'})
    writers.push_back(startChild([prefix] {
      KeyHandle key = openKey(Root::Users, u"K", KEY_ALL_ACCESS).value();
      for (char16_t i = 0; i < 25; ++i)
        if (set(key, sz(std::u16string{prefix, char16_t(u'a' + i)}, u"x"))) return 1;
      return 0;
    }));
  for (pid_t writer : writers) ASSERT_EQ(waitChild(writer), 0);
  KeyHandle key = openKey(Root::Users, u"K", KEY_READ).value();
  EXPECT_TRUE(enumValue(key, 50).ok());
  EXPECT_EQ(enumValue(key, 51).code(), os::err::noMoreItems);
}

// A rewrite cut off half way leaves the store as it was. (A write to a malformed store is refused:
// RegistryLayers.AMalformedOperatorsFileIsNamedInTheFailure; its message is runtime/core's
// Registry.MalformedStoreIsAnErrorNamingFileAndLine.)
TEST(Registry, FailedWritesLeaveTheStoreIntact) {
  ScopedRegistry reg("[HKEY_USERS\\K]\n\"big\"=\"" + std::string(20000, 'x') + "\"\n");
  const std::string before = readFile(reg.path());
  pid_t child = startChild([] {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    return set(openKey(Root::Users, u"K", KEY_ALL_ACCESS).value(), sz(u"small", u"y")) != 0 ? 0 : 1;
  });
  ASSERT_EQ(waitChild(child), 0);
  EXPECT_EQ(readFile(reg.path()), before);
  std::set<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(reg.path()).parent_path()))
    files.insert(entry.path().filename());
  EXPECT_EQ(files, (std::set<std::string>{"registry.reg", "registry.reg.lock"}));
}

TEST(Registry, AWriteRemovesOnlyTheTemporaryFilesOfKilledWriters) {
  if (geteuid() != 0) GTEST_SKIP() << "planting another user's file needs root";
  ScopedRegistry reg("[HKEY_USERS\\K]\n");
  const std::filesystem::path dir = std::filesystem::path(reg.path()).parent_path();
  // Files named as a killed writer leaves them (removed), and as it does not (kept).
  const std::pair<const char*, bool> files[] = {
      {"registry.reg.AbC123", true},   {"registry.reg.zz9900", true},   {"registry.reg.AbC12", false},
      {"registry.reg.AbC1234", false}, {"registry.reg.AbC-23", false}, {"other.reg.AbC123", false}};
  for (const auto& [name, removed] : files) writeFile((dir / name).string(), "left");
  // A writer's name on what is not a file of the tool's own: a link to one of root's files (a
  // directory is not a regular file either, and unlinkat could not take it), another user's file.
  const std::string kept[] = {"registry.reg.Link01", "registry.reg.Other1"};
  writeFile((dir / "target").string(), "kept");
  std::filesystem::create_symlink(dir / "target", dir / kept[0]);
  writeFile((dir / kept[1]).string(), "left");
  ASSERT_EQ(lchown((dir / kept[1]).c_str(), 65534, 65534), 0);
  ASSERT_EQ(set(openKey(Root::Users, u"K", KEY_ALL_ACCESS).value(), sz(u"v", u"1")), 0u);
  for (const auto& [name, removed] : files) EXPECT_NE(std::filesystem::exists(dir / name), removed) << name;
  for (const std::string& name : kept)
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(dir / name))) << name;
}

// The operator's file and the tool's own file as one store.
// The text as UTF-16LE with a byte-order mark, as the registry editor exports.
std::string utf16le(std::u16string_view text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) bytes += {char(c & 0xFF), char(c >> 8)};
  return bytes;
}

const std::u16string kOperatorText =
    u"Windows Registry Editor Version 5.00\r\n\r\n"
    u"; Managed by the configuration tool: edit the template, not this file.\r\n"
    u"[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\r\n"
    u"\"RunDirectory\"=\"/run/by-op\u0151rator\"   ; lock files\r\n"
    u"\"Shared\"=\"operator\"\r\n"
    u"\r\n"
    u"[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix\\Beta]\r\n";

// Points the store at an operator's file and a tool's file in a private directory.
class RegistryLayers : public ::testing::Test {
protected:
  RegistryLayers() { writeFile(operatorFile_, utf16le(kOperatorText)); }

  TempDir dir_;
  std::string operatorFile_ = dir_.file("etc/registry.reg");
  // In a directory that does not exist yet: the first write makes it.
  std::string toolFile_ = dir_.file("state/registry.reg");
  const ScopedEnv operatorStore_{"TAVRIX_OPERATOR_REGISTRY", operatorFile_};
  const ScopedEnv toolStore_{"TAVRIX_TOOL_REGISTRY", toolFile_};
  // Empty: not the private store of tests/support/private_store.cpp, which every test process names.
  const ScopedEnv singleStore_{"TAVRIX_REGISTRY", ""};
};

TEST_F(RegistryLayers, WritesGoToTheToolsFileAndLeaveTheOperatorsAlone) {
  const std::string before = readFile(operatorFile_);
  // A key the operator names is not created again.
  createKey(Root::LocalMachine, u"system\\tavrix\\BETA", KEY_ALL_ACCESS).value();
  EXPECT_FALSE(std::filesystem::exists(toolFile_)) << "the tool's file was written";
  struct Write { std::u16string key, name, value; bool rewrites; };
  const Write writes[] = {
      // An event-source registration on the first run, and the same again on the next.
      {u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\tavrix", u"EventMessageFile",
       u"/usr/bin/tavrix", true},
      {u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\tavrix", u"EventMessageFile",
       u"/usr/bin/tavrix", false},
      // What the operator already says needs no write; what differs goes to the tool's file,
      // where the operator's value still wins.
      {u"SYSTEM\\Tavrix", u"Shared", u"operator", false},
      {u"SYSTEM\\Tavrix", u"Shared", u"tool", true},
      {u"SYSTEM\\Tavrix\\Alpha", u"Own", u"tool", true},
  };
  for (const Write& w : writes) {
    os::Result<bool> written =
        setValue(createKey(Root::LocalMachine, w.key, KEY_ALL_ACCESS).value(), sz(w.name, w.value));
    ASSERT_TRUE(written.ok()) << written.code();
    EXPECT_EQ(written.value(), w.rewrites) << u8(w.key) << " " << u8(w.name) << "=" << u8(w.value);
  }
  EXPECT_EQ(readFile(operatorFile_), before);

  EXPECT_EQ(read(Root::LocalMachine, u"SYSTEM\\Tavrix", u"RunDirectory"), "/run/by-op\xC5\x91rator");
  EXPECT_EQ(read(Root::LocalMachine, u"SYSTEM\\Tavrix", u"Shared"), "operator");
  EXPECT_EQ(read(Root::LocalMachine, u"SYSTEM\\Tavrix\\alpha", u"Own"), "tool");
  // Only what the tool wrote is in its file (how a write reaches the file: WritesGiveTheStoresTextAndKeepItsMode).
  const std::string tool = readFile(toolFile_);
  EXPECT_EQ(tool.find("RunDirectory"), std::string::npos) << tool;

  // Subkeys and values of both files, each once, in order.
  KeyHandle tavrix = openKey(Root::LocalMachine, u"SYSTEM\\Tavrix", KEY_READ).value();
  std::vector<std::string> names;
  for (std::uint32_t i = 0; enumSubkey(tavrix, i).ok(); ++i) names.push_back(u8(enumSubkey(tavrix, i).value()));
  for (std::uint32_t i = 0; enumValue(tavrix, i).ok(); ++i) names.push_back(u8(enumValue(tavrix, i).value().name));
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "Beta", "RunDirectory", "Shared"}));
}

TEST_F(RegistryLayers, AMalformedOperatorsFileIsNamedInTheFailure) {
  writeFile(operatorFile_, "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=dword:\n");
  os::Result<KeyHandle> opened = openKey(Root::LocalMachine, u"X", KEY_READ);
  EXPECT_EQ(opened.code(), os::err::badConfiguration);
  EXPECT_EQ(u8(opened.detail()), "Malformed registry file " + operatorFile_ + " line 3: invalid dword value");
  const KeyHandle y(u"HKEY_LOCAL_MACHINE\\SYSTEM\\Y", KEY_ALL_ACCESS);
  EXPECT_EQ(setValue(y, {u"v", REG_DWORD, dwordData(1)}).code(), os::err::badConfiguration);
}

} // namespace
