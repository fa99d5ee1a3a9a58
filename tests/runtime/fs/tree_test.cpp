// Whole-tree copy and removal on real directories.
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "runtime/fs/files.h"
#include "tests/runtime/fs/fs_testing.h"

using fs_testing::describe;
using fs_testing::DriveTest;
using fs_testing::failureOf;
using fs_testing::snapshot;
using testing_support::u8;
using testing_support::writeFile;
namespace stdfs = std::filesystem;

namespace {

class TreeTest : public DriveTest {
protected:
  void SetUp() override {
    // A decoy outside the trees: root-owned files that must never be read, changed or removed.
    writeFile(host("decoy/secret"), "decoy");
    writeFile(host("decoy/sub/deep"), "deep");
    decoy_ = snapshot(host("decoy"));
  }
  void expectDecoyUntouched() { EXPECT_EQ(snapshot(host("decoy")), decoy_); }

  std::string decoy_;
};

// A package with a dated file, a read-only one and links copied over a target that has files of
// its own: the switches decide what is replaced and how links go; the target's own files stay.
TEST_F(TreeTest, CopySwitches) {
  writeFile(host("pkg/top.txt"), "pkg");
  writeFile(host("pkg/sub/inner.txt"), "pkg");
  chmod(host("pkg/sub/inner.txt").c_str(), 0444);
  symlink("sub", host("pkg/dirlink").c_str());
  symlink("top.txt", host("pkg/filelink").c_str());
  // Recursive, preserving links, replacing existing files; the target after the copy. (What the
  // commands copy with, recursive and replacing without links, and that the last write time goes
  // with the data: Extract.CopiesAsTheSiteUserAndGrantsTheWorkerGroup in tests/e2e.)
  const std::tuple<bool, bool, bool, std::string> cases[] = {
      {false, false, true,
       "dirlink/, filelink=pkg, own.txt=site, sub/, sub/inner.txt=site, sub/own.txt=site, top.txt=pkg"},
      {true, true, true, "dirlink -> sub, own.txt=site, sub/, sub/inner.txt=pkg (ro), sub/own.txt=site, top.txt=pkg"},
      // Without replacing, names at the top stay; below it everything is replaced.
      {true, false, false,
       "dirlink/, filelink=pkg, own.txt=site, sub/, sub/inner.txt=pkg (ro), sub/own.txt=site, top.txt=site"},
  };
  for (const auto& [recursive, preserveLinks, replaceExisting, expected] : cases) {
    stdfs::remove_all(host("site"));
    for (const char* file : {"site/top.txt", "site/own.txt", "site/sub/inner.txt", "site/sub/own.txt"})
      writeFile(host(file), "site");
    RunTime::File::copyDirectory(win("pkg"), win("site"), recursive, preserveLinks, replaceExisting);
    EXPECT_EQ(snapshot(host("site")), expected) << recursive << preserveLinks << replaceExisting;
  }
}

TEST_F(TreeTest, CopyCopiesFilesThenCreatesEverySubdirectoryBeforeTheFirstDescent) {
  // A FIFO cannot be copied: where the copy stops shows the order of its steps.
  writeFile(host("pkg/top.txt"), "x");
  stdfs::create_directories(host("pkg/a"));
  mkfifo(host("pkg/a/pipe").c_str(), 0644);
  for (const char* sibling : {"b", "c", "d", "e"})
    writeFile(host("pkg/" + std::string(sibling) + "/never.txt"), "x");
  fs_testing::Failure f = failureOf([&] {
    RunTime::File::copyDirectory(win("pkg"), win("site"), true, false, true);
  });
  EXPECT_EQ(describe(f), "50 RunTime::File::copy at Unable to copy (" + u8(win("pkg/a/pipe")) + ") to (" +
                             u8(win("site/a/pipe")) + ")");
  EXPECT_TRUE(stdfs::exists(host("site/top.txt")));
  // Siblings listed after "a" exist (made before the first descent) but are still empty.
  bool afterA = false;
  for (const auto& entry : stdfs::directory_iterator(host("pkg"))) {
    const std::string name = entry.path().filename().string();
    if (name == "a") afterA = true;
    if (name == "a" || name == "top.txt") continue;
    EXPECT_TRUE(stdfs::exists(host("site/" + name))) << name;
    EXPECT_EQ(stdfs::exists(host("site/" + name + "/never.txt")), !afterA) << name;
  }
}

// Unresolved ".." and "/" separators are normalised as for a listing; failures name the path as
// given, its code and the step. A link where the copy must create a directory is not gone through.
TEST_F(TreeTest, CopyTakesThePathsItsSiblingsTakeAndNamesThemInFailures) {
  writeFile(host("pkg/sub/x"), "x");
  const std::u16string source = u"C:\\gone\\..\\pkg";
  ASSERT_EQ(RunTime::File::findFirstFile(source).subdirectories.size(), 3u); // ".", "..", "sub"
  RunTime::File::copyDirectory(source, u"C:/copy/", true, false, true);
  EXPECT_EQ(snapshot(host("copy")), "sub/, sub/x=x");

  writeFile(host("site/sub"), "a file where a directory goes");
  stdfs::create_directories(host("linked"));
  symlink(host("decoy").c_str(), host("linked/sub").c_str());
  const std::tuple<std::u16string, std::u16string, std::string> cases[] = {
      {u"C:\\x\\..\\gone", u"C:\\copy",
       "3 RunTime::File::findFirstFile at Unable to read directory (C:\\x\\..\\gone)"},
      {source, u"C:\\x\\..\\site",
       "0 RunTime::File::createDirectoryEx: Path (C:\\x\\..\\site\\sub) is a file"},
      {win("pkg"), win("nowhere/site"),
       "3 RunTime::File::createDirectory at Unable to create directory (C:\\nowhere\\site)"},
      {win("pkg"), win("linked"),
       "1921 RunTime::File::createDirectory at Unable to create directory (C:\\linked\\sub)"},
  };
  for (const auto& [from, to, expected] : cases)
    EXPECT_EQ(describe(failureOf([&] { RunTime::File::copyDirectory(from, to, true, false, true); })), expected);
  expectDecoyUntouched();
}

TEST_F(TreeTest, HostileNamesAreCopiedAndRemovedExactly) {
  const std::string names[] = {"line\nbreak", std::string(255, 'n'), "bad\xff\xfe utf8", "..dots"};
  const std::string dir = "dir\nwith\xc3(bad";
  for (const std::string& name : names) writeFile(host("pkg/" + name), name);
  writeFile(host("pkg/" + dir + "/" + names[2] + "/" + names[1]), "deep");

  RunTime::File::copyDirectory(win("pkg"), win("site"), true, false, true);
  EXPECT_EQ(snapshot(host("site")), snapshot(host("pkg")));

  removeDir(win("site"), true);
  EXPECT_FALSE(stdfs::exists(host("site")));
}

// Without force a read-only file stays, alone or in a tree; with force both go. Links go as
// links, a root that is a link too, and what they lead to stays.
TEST_F(TreeTest, RemovalTakesReadOnlyObjectsOnlyWithForceAndLinksAsLinks) {
  writeFile(host("ro.txt"), "x");
  writeFile(host("site/a.txt"), "a");
  writeFile(host("site/ro/b.txt"), "b");
  symlink(host("decoy").c_str(), host("site/to-decoy").c_str());
  symlink(host("decoy/secret").c_str(), host("site/ro/to-secret").c_str());
  symlink(host("decoy").c_str(), host("site-link").c_str());
  for (const char* file : {"ro.txt", "site/a.txt", "site/ro/b.txt", "site/ro"})
    chmod(host(file).c_str(), file == std::string("site/ro") ? 0555 : 0444);

  EXPECT_EQ(describe(failureOf([&] { removeFile(win("ro.txt"), false); })),
            "5 removeFile at DeleteFile '\\\\?\\" + u8(win("ro.txt")) + "'");
  EXPECT_EQ(describe(failureOf([&] { removeDir(win("site"), false); })),
            "5 removeDir at Delete file '\\\\?\\" + u8(win("site/a.txt")) + "'");
  removeDir(win("site-link"), true);
  EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(host("site-link"))));
  removeFile(win("ro.txt"), true);
  removeDir(win("site"), true);
  EXPECT_FALSE(stdfs::exists(host("ro.txt")) || stdfs::exists(host("site")));
  removeFile(win("ro.txt"), true); // missing: nothing to do
  expectDecoyUntouched();
}

// What another removal was quicker to remove counts as removed. The test is that other removal:
// the removal's second read of the root's listing (the one that finds its end, once every entry
// was listed) waits for the test, which removes the entries meanwhile.
TEST_F(TreeTest, WhatVanishedAfterItWasListedCountsAsRemoved) {
  if (geteuid() != 0) GTEST_SKIP() << "fanotify's permission events need root";
  const std::string names[] = {"f0", "f1", "f2", "d0", "d1", "d2"};
  for (const std::string& name : names) writeFile(host("site/" + name + (name[0] == 'd' ? "/inner" : "")), "x");
  int reads = 0, removedMeanwhile = 0;
  testing_support::PermissionGate other(host("site"), FAN_ACCESS_PERM | FAN_ONDIR, [&](int) {
    if (++reads == 2)
      for (const std::string& name : names) removedMeanwhile += stdfs::remove_all(host("site/" + name)) > 0;
  });
  ASSERT_TRUE(other.ok()) << "fanotify: " << std::strerror(errno);
  const fs_testing::Failure f = failureOf([&] { removeDir(win("site"), true); });
  other.open();
  EXPECT_EQ(f.message, "");
  EXPECT_FALSE(stdfs::exists(host("site")));
  EXPECT_EQ(removedMeanwhile, 6) << "entries removed between the listing and their removal";
  // A tree that is not there at all is removed as well.
  EXPECT_EQ(failureOf([&] { removeDir(win("site/below"), false); }).message, "");
}

} // namespace
