#include "security/disk/security_information.h"

#include <gtest/gtest.h>

#include "security/disk/vocabulary.h"
#include "tests/security/disk/fake_system_helper.h"
#include "tests/support/testing.h"

using namespace DiskSecurity;
using testing_support::u8;

namespace {

AccessEntry entry(std::u16string path, std::u16string subPath, std::int32_t flags = Default) {
  return {wellKnownAccount(u"Everyone"), std::move(path), std::move(subPath), 3, 0x1F01FF, flags,
          u"", u"", nullptr};
}

TEST(SecurityInformation, EntriesSortedByThePathTheyApplyToBelowTheScope) {
  EntryCollection collection(std::make_shared<testing_support::FakeSystemHelper>());
  for (AccessEntry e : {entry(u"[HTTPD_VHOSTS_D]", u"site\\app"),
                        entry(u"[HTTPD_VHOSTS_D]", u"SITE/app/a/b/c", SkipPath),
                        entry(u"[HTTPD_VHOSTS_D]", u"site\\app\\x y", AllSplittedBySpaceNames),
                        entry(u"[HTTPD_VHOSTS_D]", u"site\\app\\f.txt", NoPropagate),
                        entry(u"[HTTPD_VHOSTS_D]", u"other\\app"),
                        entry(u"[HTTPD_VHOSTS_D]", u""),
                        entry(u"[php]", u"site\\app"),
                        entry(u"C:\\vhosts\\site\\app\\lit", u"", RepaireFolder | IgnoreErrors),
                        // SubPaths that would leave their base name nothing.
                        entry(u"[HTTPD_VHOSTS_D]", u"..\\site\\app\\up"),
                        entry(u"C:\\vhosts\\site\\app", u"..\\..\\..\\decoy"),
                        entry(u"C:\\vhosts\\site\\app", u"C:\\vhosts\\site\\app\\drive"),
                        entry(u"C:\\vhosts\\site\\app", u"\\\\server\\share"),
                        // Resolved before it is placed: "app\\a\\..\\n" is "app\\n".
                        entry(u"[HTTPD_VHOSTS_D]", u"site\\app\\a\\..\\n")})
    collection.insert(e);
  testing_support::FakeComponents components;
  SecurityInformation information(collection, u"C:\\vhosts\\site", u"", components,
                                  u"C:\\vhosts", false);

  // What the information says of a path: its number of entries, the children with entries, and
  // the properties that are set.
  const auto shown = [&](const std::u16string& path) {
    std::string text = std::to_string(information.entriesAt(path).size()) + " [";
    for (const std::u16string& child : information.childrenWithEntries(path)) text += " " + u8(child);
    const SecurityInformation::Properties p = information.properties(path);
    return text + " ]" + (p.ownEntries ? " own" : "") + (p.skip ? " skip" : "") +
           (p.repair ? " repair" : "") + (p.ignoreErrors ? " ignoreErrors" : "");
  };
  const std::pair<std::u16string, std::string> cases[] = {
      {u"", "0 [ app ]"},
      // Path order: a shorter component first. "x y" split gives "site\app\x" and "y", the
      // latter outside the committed scope.
      {u"app", "1 [ app\\a app\\n app\\x app\\lit app\\f.txt ] own"},
      {u"APP/A", "0 [ APP\\A\\b ]"},
      {u"app\\a\\b\\c", "1 [ ] own skip"},
      {u"app\\f.txt", "1 [ ] own"},
      {u"app\\lit", "1 [ ] own repair ignoreErrors"},
      {u"app\\x", "1 [ ] own"},
      {u"app\\n", "1 [ ] own"},
      {u"app\\up", "0 [ ]"},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(shown(path), expected) << u8(path);

  // At the virtual hosts directory itself, however it is written, no entry applies; a walk that
  // enters another file's directory takes that file's entries below it only.
  SecurityInformation hosts(collection, u"C:\\vhosts", u"", components, u"C:\\VHOSTS\\", false);
  EXPECT_TRUE(hosts.entriesAt(u"").empty());
  EXPECT_EQ(hosts.entriesAt(u"site\\app").size(), 1u);
  SecurityInformation below(collection, u"C:\\vhosts", u"other", components, u"", false);
  EXPECT_TRUE(below.entriesAt(u"site\\app").empty());
  EXPECT_EQ(below.entriesAt(u"other\\app").size(), 1u);
}

} // namespace
