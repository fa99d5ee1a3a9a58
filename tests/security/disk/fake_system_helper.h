// A system helper whose accounts, environment, product values and folders are tables of the
// test (files are the real ones), components from a table, and entries as text.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "os/error.h"
#include "runtime/core/exception.h"
#include "security/disk/entry_collection.h"
#include "security/disk/entry_template.h"
#include "security/disk/system_helper.h"
#include "tests/support/testing.h"

namespace testing_support {

inline RunTime::Sid sid(const char16_t* text) {
  RunTime::Sid s;
  s.loadFromSidString(text);
  return s;
}

class FakeSystemHelper : public DiskSecurity::DefaultSystemHelper {
public:
  // name -> account (SID, name, domain)
  std::map<std::u16string, RunTime::Sid> accounts;
  std::map<std::u16string, std::u16string> environment;
  std::map<std::u16string, std::u16string> product;
  std::map<std::uint32_t, std::u16string> folders{{0x2A, u"C:\\Program Files (x86)"},
                                                  {0x24, u"C:\\Windows"}};
  std::map<std::u16string, std::u16string> wideFolders{{u"ProgramFilesX64", u"C:\\Program Files"}};
  std::u16string localDomain = u"HOST";

  // Adds an account of the local domain (or another) with a SID S-1-5-21-1-2-3-<rid>.
  RunTime::Sid& addAccount(const std::u16string& name, std::uint32_t rid,
                           const std::u16string& domain = u"HOST") {
    RunTime::Sid sid(5, 5, 21, 1, 2, 3, rid);
    sid.setAccount(name, domain, RunTime::SidTypeUser);
    return accounts[name] = sid;
  }

  RunTime::Sid getAccount(const std::u16string& name, const std::u16string&) override {
    auto found = accounts.find(name);
    if (found == accounts.end())
      throwOSError(u"Unable to lookup SID for name " + name, os::err::noneMapped,
                   VCONTEXT("RunTime::accountByName"));
    return found->second;
  }
  static std::optional<std::u16string> lookup(const std::map<std::u16string, std::u16string>& table,
                                              const std::u16string& name) {
    auto found = table.find(name);
    if (found == table.end()) return std::nullopt;
    return found->second;
  }
  std::optional<std::u16string> getEnvironmentVariable(const std::u16string& name) override {
    return lookup(environment, name);
  }
  std::optional<std::u16string> getProductValue(const std::u16string& name) override { return lookup(product, name); }
  std::u16string getSpecialFolderPath(std::uint32_t csidl) override { return folders.at(csidl); }
  std::map<std::u16string, std::u16string> getSpecialFolders() override { return wideFolders; }
  std::u16string getLocalAccountDomain() override { return localDomain; }
};

// One line per entry with every field, the account's name and domain included.
inline std::vector<std::string> entryLines(const DiskSecurity::EntryCollection& c) {
  std::vector<std::string> out;
  for (const DiskSecurity::AccessEntry& e : c.entries())
    out.push_back(u8(e.account.toSidString()) + " " + u8(e.account.domain()) + "\\" +
                  u8(e.account.name()) + " " + u8(e.path) + " [" + u8(e.subPath) + "] " +
                  std::to_string(e.aceFlags) + " " + std::to_string(e.accessMask) + " " +
                  std::to_string(e.entryFlags) + " [" + u8(e.tag) + "][" + u8(e.tag2) + "]");
  return out;
}

// The virtual hosts directory C:\vhosts and a component "php" with two directories; any other
// name is not supported.
struct FakeComponents : DiskSecurity::IComponentPathResolver {
  std::vector<std::u16string> getPath(const std::u16string& name) override {
    if (name == u"HTTPD_VHOSTS_D") return {u"C:\\vhosts"};
    if (name == u"php") return {u"C:\\php5", u"C:\\php7"};
    throw vexception(u"Component " + name + u" isn't supported");
  }
};

} // namespace testing_support
