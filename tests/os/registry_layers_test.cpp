// The operator's file and the tool's own file as one store.
#include "os/registry.h"

#include <sys/stat.h>

#include <cstdlib>
#include <optional>

#include <gtest/gtest.h>

#include "tests/support/testing.h"

using namespace os::registry;
using os::Result;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::u8;
using testing_support::writeFile;

namespace {

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
    u"\"RunDirectory\"=\"/run/by-operator\"   ; lock files\r\n"
    u"\"Shared\"=\"operator\"\r\n"
    u"\r\n"
    u"[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix\\Beta]\r\n";

// Points the store at an operator's file and a tool's file in a private directory.
class RegistryLayers : public ::testing::Test {
protected:
  RegistryLayers() {
    writeFile(operatorFile_, utf16le(kOperatorText));
    setenv("TAVRIX_OPERATOR_REGISTRY", operatorFile_.c_str(), 1);
    setenv("TAVRIX_TOOL_REGISTRY", toolFile_.c_str(), 1);
    if (const char* single = std::getenv("TAVRIX_REGISTRY")) saved_ = single;
    unsetenv("TAVRIX_REGISTRY");
  }
  ~RegistryLayers() override {
    unsetenv("TAVRIX_OPERATOR_REGISTRY");
    unsetenv("TAVRIX_TOOL_REGISTRY");
    if (saved_) setenv("TAVRIX_REGISTRY", saved_->c_str(), 1);
  }

  static KeyHandle key(std::u16string_view path) {
    return createKey(Root::LocalMachine, path, KEY_ALL_ACCESS).value();
  }
  static std::string text(std::u16string_view path, std::u16string_view name) {
    Result<Value> v = queryValue(key(path), name);
    return v.ok() ? u8(stringOf(v.value()).value()) : "error " + std::to_string(v.code());
  }

  TempDir dir_;
  std::string operatorFile_ = dir_.file("etc/registry.reg");
  // In a directory that does not exist yet: the first write makes it.
  std::string toolFile_ = dir_.file("state/registry.reg");
  std::optional<std::string> saved_;
};

TEST_F(RegistryLayers, WritesGoToTheToolsFileAndLeaveTheOperatorsAlone) {
  const std::string before = readFile(operatorFile_);
  struct Write {
    std::u16string key, name, value;
    bool rewrites;
  };
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
    Result<bool> written = setValue(key(w.key), {w.name, REG_SZ, stringData(w.value)});
    ASSERT_TRUE(written.ok()) << written.code();
    EXPECT_EQ(written.value(), w.rewrites) << u8(w.key) << " " << u8(w.name) << "=" << u8(w.value);
  }
  EXPECT_EQ(readFile(operatorFile_), before);

  EXPECT_EQ(text(u"SYSTEM\\Tavrix", u"RunDirectory"), "/run/by-operator");
  EXPECT_EQ(text(u"SYSTEM\\Tavrix", u"Shared"), "operator");
  EXPECT_EQ(text(u"SYSTEM\\Tavrix\\alpha", u"Own"), "tool");
  const std::string tool = readFile(toolFile_);
  EXPECT_NE(tool.find("\"Shared\"=\"tool\""), std::string::npos) << tool;
  EXPECT_EQ(tool.find("RunDirectory"), std::string::npos) << tool;

  // Subkeys and values of both files, the operator's first.
  KeyHandle tavrix = openKey(Root::LocalMachine, u"SYSTEM\\Tavrix", KEY_READ).value();
  std::vector<std::string> subkeys, values;
  for (std::uint32_t i = 0; enumSubkey(tavrix, i).ok(); ++i) subkeys.push_back(u8(enumSubkey(tavrix, i).value()));
  for (std::uint32_t i = 0; enumValue(tavrix, i).ok(); ++i) values.push_back(u8(enumValue(tavrix, i).value().name));
  EXPECT_EQ(subkeys, (std::vector<std::string>{"Alpha", "Beta"}));
  EXPECT_EQ(values, (std::vector<std::string>{"RunDirectory", "Shared"}));
}

TEST_F(RegistryLayers, KeysTheOperatorNamesAreNotCreatedAgain) {
  createKey(Root::LocalMachine, u"system\\tavrix\\BETA", KEY_ALL_ACCESS).value();
  struct stat st;
  EXPECT_NE(::stat(toolFile_.c_str(), &st), 0) << "the tool's file was written";
}

TEST_F(RegistryLayers, AMalformedOperatorsFileIsNamedInTheFailure) {
  writeFile(operatorFile_, "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=dword:\n");
  Result<KeyHandle> opened = openKey(Root::LocalMachine, u"X", KEY_READ);
  EXPECT_EQ(opened.code(), os::err::badConfiguration);
  EXPECT_EQ(u8(opened.detail()), "Malformed registry file " + operatorFile_ + " line 3: invalid dword value");
  const KeyHandle y(u"HKEY_LOCAL_MACHINE\\SYSTEM\\Y", KEY_ALL_ACCESS);
  EXPECT_EQ(setValue(y, {u"v", REG_DWORD, dwordData(1)}).code(), os::err::badConfiguration);
}

} // namespace
