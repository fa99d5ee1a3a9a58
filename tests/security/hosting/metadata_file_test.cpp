#include "security/hosting/metadata_file.h"

#include <gtest/gtest.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include "os/dos_attributes.h"
#include "os/files.h"
#include "os/text.h"
#include "security/disk/vocabulary.h"
#include "tests/security/hosting/metadata_testing.h"
#include "tests/support/failure.h"

using namespace DiskSecurity;
using namespace HostingSecurity;
using namespace testing_support;

namespace {

std::u16string w(const std::string& text) { return os::utf16FromUtf8(text); }

class MetadataFile : public testing::Test {
protected:
  std::shared_ptr<EntryCollection> load(const std::string& file, bool lenient = true) {
    return loadFromFile(w(file), nullptr, helper, lenient);
  }
  void save(EntryCollection& c, const std::string& file, bool lenient = true) {
    std::u16string location;
    saveToFile(c, location, w(file), lenient);
  }
  // The message and its contexts' ("\nat " before each), host paths with "/" throughout.
  static std::string failure(const std::function<void()>& action) {
    const Failure failed = failureOf(action);
    std::string text = failed.message + failed.calls;
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
  }
  static AccessEntry entry(RunTime::Sid account, std::int32_t flags = 0, std::uint32_t mask = 0x1F01FF,
                           std::uint32_t aceFlags = 3) {
    return {std::move(account), u"[HTTPD_VHOSTS_D]", u"site1\\httpdocs", aceFlags, mask, flags, u"", u"", nullptr};
  }

  TempDir dir;
  std::shared_ptr<FakeSystemHelper> helper = accountsHelper(60);
};

// Where each file lies is the manager's table (Manager.RootRelativePathAndMetadataFileOfAPath);
// names that would put it elsewhere are refused here.
TEST(MetadataFileNames, DomainAndWebUserNamesStayInTheirDirectory) {
  for (const char16_t* bad : {u"..", u".", u"", u"a\\b", u"a/b", u"C:"}) {
    EXPECT_THROW(domainMetadataFile(u"C:\\vhosts", bad), vexception) << u8(bad);
    EXPECT_THROW(webuserMetadataFile(u"C:\\vhosts", u"site1", bad), vexception) << u8(bad);
  }
}

// What a save writes reads back exactly: MetadataDurability's loads; a byte-order mark before the
// text: tests/xml's streaming reader table (the same reader reads these files).
TEST_F(MetadataFile, WritesTheDocumentExactly) {
  EntryCollection c(helper);
  c.insert(entry(wellKnownAccount(u"Everyone")));
  c.insert(entry(helper->accounts.at(u"useraa"), Deny, 0x1F01FE, 4));     // local: no Domain
  c.insert(entry(helper->accounts.at(u"userba"), RemoveAccess | Deny, 0, 0)); // directory
  save(c, dir.file("a.Security"));
  // One element per entry: the account's attributes, then the entry's (names where a value has one).
  const auto element = [](const std::string& account, const std::string& aceFlags, const std::string& mask,
                          const std::string& flags) {
    return "<Entry " + account + " Path=\"[HTTPD_VHOSTS_D]\" SubPath=\"site1\\httpdocs\" AceFlags=\"" + aceFlags +
           "\" AccessMask=\"" + mask + "\" EntryFlags=\"" + flags + "\" Tag=\"\" Tag2=\"\"/>";
  };
  EXPECT_EQ(readFile(dir.file("a.Security")),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Entries>" +
                element("AccounType=\"0\" Account=\"Everyone\"", "ThisFolderSubfoldersAndFiles", "FullAccess", "0x0") +
                element("AccounType=\"1\" Account=\"useraa\" SidStr=\"S-1-5-21-1-2-3-1000\"", "0x4", "0x1f01fe", "0x1") +
                element("AccounType=\"1\" Domain=\"CORP\" Account=\"userba\" SidStr=\"S-1-5-21-1-2-3-1001\"",
                        "ThisObjectOnly", "NoAccess", "0x801") +
                "</Entries>\n");
  EntryCollection empty(helper);
  save(empty, dir.file("empty.Security"));
  EXPECT_EQ(readFile(dir.file("empty.Security")), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Entries/>\n");
  EXPECT_EQ(load(dir.file("empty.Security"))->size(), 0u);
}

TEST_F(MetadataFile, MissingFileIsEmptyAndTheSaveCreatesHiddenKelvo) {
  const std::u16string file = domainMetadataFile(w(dir.path()), u"site1");
  std::u16string location = file;
  auto c = loadFromFile(file, nullptr, helper, true); // a missing file is empty: every first extraction reads one
  c->insert(entry(wellKnownAccount(u"Users")));
  EXPECT_NE(failure([&] { saveToFile(*c, location, u"", true); }).find("Unable to create directory"),
            std::string::npos) << "no domain directory, no metadata";
  std::filesystem::create_directories(dir.file("site1"));
  saveToFile(*c, location, u"", true);
  EXPECT_EQ(c->storageName(), file);
  os::Result<std::uint32_t> bits = os::storedDosAttributes(w(dir.file("site1/.kelvo")));
  ASSERT_TRUE(bits.ok()) << bits.code();
  EXPECT_EQ(bits.value() & os::FILE_ATTRIBUTE_HIDDEN, os::FILE_ATTRIBUTE_HIDDEN);
}

TEST_F(MetadataFile, EntriesXmlCannotCarryAreSkippedWhenLenient) {
  EntryCollection c(helper);
  c.insert(entry(wellKnownAccount(u"Users")));
  AccessEntry bad = entry(wellKnownAccount(u"Guests"));
  bad.tag = u"bell\u0007";
  c.insert(bad);
  save(c, dir.file("a.Security"));
  EXPECT_EQ(load(dir.file("a.Security"))->size(), 1u);
  EXPECT_NE(failure([&] { save(c, dir.file("b.Security"), false); }).find("its Tag holds characters"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.file("b.Security"))) << "a failed save writes nothing";
  for (const auto& left : std::filesystem::directory_iterator(dir.path()))
    EXPECT_NE(left.path().extension(), ".tmp") << "the temporary file goes with the failure";
}

TEST_F(MetadataFile, PlantedLinksAndHardLinksAreRefused) {
  auto c = makeCollection(helper, 3, 0);
  const std::string outside = dir.file("outside");
  std::filesystem::create_directories(outside);
  writeFile(outside + "/.Security", "precious");
  // A ".kelvo" that leads elsewhere.
  for (const char* made : {"d1", "d2/.kelvo", "d3/.kelvo", "d4/.kelvo"}) std::filesystem::create_directories(dir.file(made));
  std::filesystem::create_directory_symlink(outside, dir.file("d1/.kelvo"));
  // A metadata file that is a link, or another name of a file elsewhere.
  std::filesystem::create_symlink(outside + "/.Security", dir.file("d2/.kelvo/.Security"));
  std::filesystem::create_hard_link(outside + "/.Security", dir.file("d3/.kelvo/.Security"));
  const std::pair<std::string, std::string> cases[] = {
      {"d1", "the directory '" + dir.file("d1/.kelvo") + "' is a symbolic link"},
      {"d2", "the file '" + dir.file("d2/.kelvo/.Security") + "' is a symbolic link"},
      {"d3", "the file '" + dir.file("d3/.kelvo/.Security") + "' has more than one hard link"},
  };
  for (const auto& [domain, message] : cases) {
    const std::u16string file = domainMetadataFile(w(dir.path()), w(domain));
    const std::string loading = failure([&] { loadFromFile(file, nullptr, helper, true); });
    EXPECT_NE(loading.find(message + "\nat Unable to parse file URL: '" + dir.file(domain) + "/.kelvo/.Security'\nat "
                           "Unable to call loadFromFile(" + dir.file(domain) + "/.kelvo/.Security, false)"),
              std::string::npos) << loading;
    std::u16string location = file;
    const std::string saving = failure([&] { saveToFile(*c, location, u"", true); });
    EXPECT_NE(saving.find(message), std::string::npos) << saving;
    EXPECT_NE(saving.find("Unable to call saveToFile()"), std::string::npos) << saving;
  }
  EXPECT_EQ(readFile(outside + "/.Security"), "precious");
  EXPECT_EQ(os::storedDosAttributes(w(outside)).value(), 0u) << "not marked through the link";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(outside), std::filesystem::directory_iterator()), 1)
      << "nothing was created through the link";
  // A file another user may write is not read: its entries are not applied.
  std::u16string writable = domainMetadataFile(w(dir.path()), u"d4");
  saveToFile(*c, writable, u"", true);
  ::chmod(dir.file("d4/.kelvo/.Security").c_str(), 0666);
  EXPECT_TRUE(loadFromFile(writable, nullptr, helper, true)->entries().empty());
}

TEST_F(MetadataFile, AHundredMegabytesLoadInBoundedMemory) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the address sanitizer's quarantine keeps freed memory resident";
#endif
  // One entry written over and over: the reader must not keep what it has read.
  const std::string path = dir.file("big.Security");
  {
    std::ofstream out(path, std::ios::binary);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Entries>";
    const std::string line =
        "<Entry AccounType=\"0\" Account=\"Everyone\" Path=\"[HTTPD_VHOSTS_D]\" "
        "SubPath=\"site1\\httpdocs\" AceFlags=\"3\" AccessMask=\"FullAccess\" "
        "EntryFlags=\"0x0\" Tag=\"\" Tag2=\"\"/>\n";
    std::string block;
    while (block.size() < (1u << 20)) block += line;
    for (int i = 0; i < 100; ++i) out << block;
    out << "</Entries>\n";
  }
  ASSERT_GE(std::filesystem::file_size(path), 100u << 20);
  std::ofstream("/proc/self/clear_refs") << "5"; // restart the peak from the current size
  auto c = load(path);
  EXPECT_EQ(c->size(), 1u);
  std::ifstream status("/proc/self/status");
  long peakKiB = -1;
  for (std::string word; status >> word;)
    if (word == "VmHWM:") status >> peakKiB;
  EXPECT_LT(peakKiB, 50 * 1024) << "peak resident memory";
}

// A save killed at any moment leaves the old metadata file or the new one, complete.

// Each kill is followed by a load of 2,000 entries: under the address sanitizer that is slower,
// so the instrumented build kills fewer times (it looks for memory faults, the plain build for
// torn files).
#ifdef __SANITIZE_ADDRESS__
constexpr int KILLS = 20;
#else
constexpr int KILLS = 200;
#endif

class MetadataDurability : public MetadataFile {};

TEST_F(MetadataDurability, KilledSavesLeaveTheOldOrTheNewFile) {
  const std::shared_ptr<EntryCollection> saves[] = {makeCollection(helper, 2000, 1), makeCollection(helper, 2000, 2)};
  const std::vector<std::string> lines[] = {entryLines(*saves[0]), entryLines(*saves[1])};
  ASSERT_NE(lines[0], lines[1]);
  const std::u16string file = domainMetadataFile(w(dir.path()), u"site1");
  std::filesystem::create_directories(dir.file("site1"));
  std::u16string location = file;
  const auto started = std::chrono::steady_clock::now();
  saveToFile(*saves[0], location, u"", true);
  const auto saveMicroseconds =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count();

  std::mt19937 random(20261206);
  // Up to a little longer than a whole save, so that some saves finish. A forked child on a
  // loaded machine may save slower than the measured save: while no save has got through, the
  // range widens after each kill.
  long longestDelay = saveMicroseconds * 5 / 4;
  int current = 0, keptOld = 0, gotNew = 0;
  for (int kill = 0; kill < KILLS; ++kill) {
    const long delay = std::uniform_int_distribution<long>(1, longestDelay)(random);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // The timer's signal ends the saving process where it stands, as a kill -9 would: no
      // handler, no clean-up.
      const itimerval timer{{0, 0}, {delay / 1000000, delay % 1000000}};
      setitimer(ITIMER_REAL, &timer, nullptr);
      try {
        std::u16string target = file;
        saveToFile(*saves[1 - current], target, u"", true);
      } catch (...) {
        _exit(2);
      }
      _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);

    const std::vector<std::string> loaded = entryLines(*loadFromFile(file, nullptr, helper, true));
    ASSERT_TRUE(loaded == lines[0] || loaded == lines[1])
        << "kill " << kill << " left " << loaded.size() << " entries of neither collection";
    if (loaded == lines[1 - current]) {
      ++gotNew;
      current = 1 - current;
    } else {
      ++keptOld;
      if (gotNew == 0) longestDelay = longestDelay * 3 / 2;
    }
  }
  // Both outcomes happened, so the kills did land inside saves.
  EXPECT_GT(keptOld, 0);
  EXPECT_GT(gotNew, 0);

  // The next save removes the temporary files the killed ones left, and nothing like them.
  const std::string kelvo = dir.file("site1/.kelvo");
  std::filesystem::create_directory_symlink(kelvo, kelvo + "/.Security.0123456789ab.tmp");
  writeFile(kelvo + "/.Security.0123456789ab.tmp.keep", "");
  writeFile(kelvo + "/.Web.u.Security.0123456789ab.tmp", "");
  saveToFile(*saves[0], location, u"", true);
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(kelvo)) names.insert(entry.path().filename());
  EXPECT_EQ(names, (std::set<std::string>{".Security", ".Security.0123456789ab.tmp",
                                          ".Security.0123456789ab.tmp.keep", ".Web.u.Security.0123456789ab.tmp"}));
}

} // namespace
