// Collections for the metadata-file tests, made over many accounts.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "os/text.h"
#include "security/disk/entry_collection.h"
#include "security/disk/vocabulary.h"
#include "tests/security/disk/fake_system_helper.h"
#include "tests/support/testing.h"

namespace testing_support {

// A helper that knows local accounts (domain HOST) and directory accounts (domain CORP).
inline std::shared_ptr<FakeSystemHelper> accountsHelper(std::uint32_t accounts) {
  auto helper = std::make_shared<FakeSystemHelper>();
  for (std::uint32_t i = 0; i < accounts; ++i) {
    helper->addAccount(u"user" + std::u16string(1, u'a' + i % 26) + std::u16string(1, u'a' + i / 26),
                       1000 + i, i % 2 ? u"CORP" : u"HOST");
  }
  return helper;
}

// `count` distinct entries over well-known, local and directory accounts; allowing, denying and
// revoking; the variety of `seed` changes the masks and tags.
inline std::shared_ptr<DiskSecurity::EntryCollection>
makeCollection(std::shared_ptr<FakeSystemHelper> helper, std::size_t count, std::uint32_t seed) {
  auto c = std::make_shared<DiskSecurity::EntryCollection>(helper);
  std::vector<RunTime::Sid> accounts;
  for (const char16_t* name : {u"Everyone", u"System", u"Administrators", u"CreatorOwner"})
    accounts.push_back(DiskSecurity::wellKnownAccount(name));
  for (const auto& [name, sid] : helper->accounts) accounts.push_back(sid);
  const std::int32_t flags[] = {0, DiskSecurity::Deny, DiskSecurity::RemoveAccess,
                                DiskSecurity::Deny | DiskSecurity::NoPropagate};
  const std::uint32_t masks[] = {0x1F01FF, 0x120089, 0x1301BF, 0x12345, 0};
  for (std::size_t i = 0; c->size() < count; ++i) {
    DiskSecurity::AccessEntry e;
    e.account = accounts[i % accounts.size()];
    e.path = i % 3 ? u"[HTTPD_VHOSTS_D]" : u"C:\\vhosts";
    const std::u16string site = u"site" + std::u16string(1, u'a' + i % 7);
    e.subPath = i % 5 ? site + u"\\d\u00e9p\\" + os::utf16FromUtf8(std::to_string(i / 7)) : u"";
    e.aceFlags = static_cast<std::uint32_t>(i % 4);
    e.accessMask = masks[(i + seed) % 5];
    e.entryFlags = flags[i % 4];
    e.tag = (i + seed) % 3 ? u"" : u"app <&\"'> " + std::u16string(1, u'A' + seed % 26);
    e.tag2 = i % 11 ? u"" : u"second";
    c->insert(std::move(e));
  }
  return c;
}

} // namespace testing_support
