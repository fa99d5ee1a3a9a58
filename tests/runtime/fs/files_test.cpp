// Existence tests, directory creation and listing.
#include <unistd.h>

#include <algorithm>

#include "runtime/fs/files.h"
#include "tests/runtime/fs/fs_testing.h"

using fs_testing::describe;
using fs_testing::DriveTest;
using fs_testing::failureOf;
using testing_support::u8;
using testing_support::writeFile;
namespace stdfs = std::filesystem;

namespace {

using FilesTest = DriveTest;

TEST_F(FilesTest, ExistenceTests) {
  writeFile(host("dir/file.txt"), "x");
  symlink("dir", host("dirlink").c_str());
  symlink("missing", host("dangling").c_str());
  // Path, whether it exists, whether it is a directory.
  const std::tuple<const char*, bool, bool> cases[] = {
      {"dir", true, true},       {"dir/file.txt", true, false}, {"dirlink", true, true},
      {"dangling", true, false}, {"missing", false, false},     {"dir/file.txt/below", false, false},
  };
  for (const auto& [path, exists, directory] : cases) {
    bool isDirectory = false, isFile = false;
    EXPECT_EQ(fileExist(win(path), &isDirectory), exists) << path;
    EXPECT_EQ(isDirectory, directory) << path;
    EXPECT_EQ(VDirectory::exists(win(path), &isFile), exists) << path;
    EXPECT_EQ(isFile, !directory) << path; // also set when nothing is there
  }
  EXPECT_FALSE(VDirectory::exists(u""));
  EXPECT_FALSE(fileExist(u"Q:\\unmapped")); // an unmapped drive is a missing path
}

TEST_F(FilesTest, CreateDirectoryMakesTheMissingParents) {
  stdfs::create_directories(host("a"));
  VDirectory::createDirectory(win("a/b/x/"));
  EXPECT_TRUE(stdfs::is_directory(host("a/b/x")));
  VDirectory::createDirectory(win("a/b/x")); // again: nothing to do

  writeFile(host("file"), "x");
  EXPECT_EQ(describe(failureOf([] { VDirectory::createDirectory(u""); })),
            "0 VDirectory::createDirectory: Unable to create directory with wrong name");
  EXPECT_EQ(describe(failureOf([&] { VDirectory::createDirectory(win("file/sub")); })),
            "3 makeDir at CreateDirectory(" + u8(win("file/sub")) + ")");
}

// A link goes with the kind of what it leads to.
TEST_F(FilesTest, ListingSortsDirectoriesFromFiles) {
  writeFile(host("d/file.txt"), "x");
  stdfs::create_directories(host("d/sub"));
  symlink("sub", host("d/sublink").c_str());
  symlink("file.txt", host("d/filelink").c_str());
  RunTime::File::DirectoryListing listing = RunTime::File::findFirstFile(win("d"));
  auto names = [](const std::vector<RunTime::File::DirectoryEntry>& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries) out.push_back(u8(e.name));
    std::sort(out.begin(), out.end());
    return out;
  };
  EXPECT_EQ(names(listing.subdirectories), (std::vector<std::string>{".", "..", "sub", "sublink"}));
  EXPECT_EQ(names(listing.files), (std::vector<std::string>{"file.txt", "filelink"}));

  EXPECT_EQ(describe(failureOf([&] { RunTime::File::findFirstFile(win("missing")); })),
            "2 RunTime::File::findFirstFile at Unable to read directory (" + u8(win("missing")) + ")");
}

} // namespace
