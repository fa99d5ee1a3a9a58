// A save killed at any moment leaves the old metadata file or the new one, complete.
#include <gtest/gtest.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <set>

#include "os/text.h"
#include "security/hosting/metadata_file.h"
#include "tests/security/hosting/metadata_testing.h"

using testing_support::entryLines;

namespace {

// Each kill is followed by a load of 2,000 entries: under the address sanitizer that is slower,
// so the instrumented build kills fewer times (it looks for memory faults, the plain build for
// torn files).
#ifdef __SANITIZE_ADDRESS__
constexpr int KILLS = 20;
#else
constexpr int KILLS = 200;
#endif

TEST(MetadataDurability, KilledSavesLeaveTheOldOrTheNewFile) {
  testing_support::TempDir dir;
  auto helper = testing_support::accountsHelper(60);
  auto first = testing_support::makeCollection(helper, 2000, 1);
  auto second = testing_support::makeCollection(helper, 2000, 2);
  const std::vector<std::string> firstLines = entryLines(*first), secondLines = entryLines(*second);
  ASSERT_NE(firstLines, secondLines);
  const std::u16string file =
      HostingSecurity::domainMetadataFile(os::utf16FromUtf8(dir.path()), u"site1");

  std::filesystem::create_directories(dir.file("site1"));
  std::u16string location = file;
  const auto started = std::chrono::steady_clock::now();
  HostingSecurity::saveToFile(*first, location, u"", true);
  const auto saveMicroseconds = std::chrono::duration_cast<std::chrono::microseconds>(
                                    std::chrono::steady_clock::now() - started)
                                    .count();

  std::mt19937 random(20261206);
  // Up to a little longer than a whole save, so that some saves finish. A forked child on a
  // loaded machine may save slower than the measured save: while no save has got through, the
  // range widens after each kill.
  long longestDelay = saveMicroseconds * 5 / 4;
  const DiskSecurity::EntryCollection* current = first.get();
  int keptOld = 0, gotNew = 0;
  for (int kill = 0; kill < KILLS; ++kill) {
    DiskSecurity::EntryCollection* next = current == first.get() ? second.get() : first.get();
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
        HostingSecurity::saveToFile(*next, target, u"", true);
      } catch (...) {
        _exit(2);
      }
      _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);

    auto loaded = HostingSecurity::loadFromFile(file, nullptr, helper, true);
    const std::vector<std::string> lines = entryLines(*loaded);
    ASSERT_TRUE(lines == firstLines || lines == secondLines)
        << "kill " << kill << " left " << lines.size() << " entries of neither collection";
    if (lines == entryLines(*next)) {
      ++gotNew;
      current = next;
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
  testing_support::writeFile(kelvo + "/.Security.0123456789ab.tmp.keep", "");
  testing_support::writeFile(kelvo + "/.Web.u.Security.0123456789ab.tmp", "");
  HostingSecurity::saveToFile(*first, location, u"", true);
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(kelvo)) names.insert(entry.path().filename());
  EXPECT_EQ(names, (std::set<std::string>{".Security", ".Security.0123456789ab.tmp",
                                          ".Security.0123456789ab.tmp.keep", ".Web.u.Security.0123456789ab.tmp"}));
  std::cout << "kept the old file " << keptOld << " times, the new one " << gotNew << " times\n";
}

} // namespace
