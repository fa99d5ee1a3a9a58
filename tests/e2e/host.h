// The private host of the whole-process tests: its registry store, the tool run against it, its
// daily log, and a site user's swapping attack.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <new>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "os/text.h"
#include "tests/support/testing.h"

namespace testing_support {

// The impersonation service's socket below a host's directory.
inline const std::string kImpersonationPipe = "run/pipe/ZRC_pipe {110D2F0F-F073-4021-AB73-C7886FB9BD1E}";

// A registry store whose run directory is <dir>/run and drive C: <dir>/c, with the product's
// configuration values `config` ("name"=value lines) and any further keys in `more`.
inline std::string hostRegistry(const std::string& dir, const std::string& config, const std::string& more = {}) {
  return "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir +
         "/run\"\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix\\DosDevices]\n\"C:\"=\"" + dir +
         "/c\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n" + config + more;
}

// The tool with its arguments on the registry store.
inline ProcessResult runTool(const std::string& registry, std::vector<std::string> args) {
  args.insert(args.begin(), binary("tavrix"));
  return runProcess(args, {{"TAVRIX_REGISTRY", registry}});
}

// A command that acts (it passes the checks, so it opens the log and the dump settings) and fails
// at once on its missing files list, before it needs a service.
inline const std::vector<std::string> kActingCommand = {"--delete-application", "--application-full-name=a",
                                                        "--www-root=/x", "--user-name=u",
                                                        "--application-subdirectory=s", "--files=missing.xml"};

// A private host for a test of the tool: a temporary directory with the registry store, the
// drive C: and the product's root (the tool makes the log directory in it).
class Host : public ::testing::Test {
protected:
  Host() { std::filesystem::create_directories(product_); }
  // The store with the product's root, the configuration values `config` and further keys `more`.
  void writeRegistry(const std::string& config, const std::string& more = {}) {
    writeFile(registry_, hostRegistry(dir_.path(), "\"PRODUCT_ROOT_D\"=\"" + product_ + "\"\n" + config, more));
  }
  // Today's log file.
  std::string logPath() const {
    const std::time_t now = std::time(nullptr);
    char date[16];
    std::strftime(date, sizeof date, "%Y%m%d", std::localtime(&now));
    return product_ + "/admin/logs/kelvolog_debug" + date + ".log";
  }
  // The log's text as UTF-8 (after the byte-order mark), emptied for the next command.
  std::string takeLog() {
    const std::string raw = readFile(logPath());
    std::filesystem::remove(logPath());
    return u8(os::utf16FromLittleEndian(raw.substr(std::min<std::size_t>(2, raw.size()))));
  }

  TempDir dir_;
  std::string registry_ = dir_.file("registry.reg");
  std::string product_ = dir_.file("product");
};

// The text with the line numbers of its "at" records replaced by N.
inline std::string withoutLineNumbers(const std::string& text) {
  return std::regex_replace(text, std::regex(" line [0-9]+\\)"), " line N)");
}

inline std::size_t occurrences(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// A process of an account (root's own when uid is -1) that exchanges a directory with a link to a
// decoy (the account's) and back, in a tight loop, until it is stopped or the name is gone. It
// counts the exchanges in memory shared with the test, and whether the link it put in place was
// removed by someone else (the command acted on the link itself): proof that an exchange landed
// inside a walk. Stopped with the directory in place, it leaves it as it found it.
class Swapper {
public:
  Swapper(int uid, int gid, const std::string& directory, const std::string& decoy) {
    void* memory = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    const std::string parent = std::filesystem::path(directory).parent_path(),
                      name = std::filesystem::path(directory).filename(), link = name + ".swap";
    if (memory == MAP_FAILED || ::symlink(decoy.c_str(), (parent + "/" + link).c_str()) != 0 ||
        ::lchown((parent + "/" + link).c_str(), uid, gid) != 0)
      return;
    shared_ = new (memory) Shared{};
    pid_ = ::fork();
    if (pid_ != 0) return;
    // Only async-signal-safe calls in the child of a threaded process.
    if (uid >= 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0))
      _exit(1);
    const int at = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY);
    // A name gone is what a removal does to the link in the directory's place, or to the
    // directory. A loaded machine may run this process again only after the test stopped it, so
    // the exchange back after the stop meets the removal's work as the loop does.
    auto exchange = [&] {
      if (::renameat2(at, name.c_str(), at, link.c_str(), RENAME_EXCHANGE) == 0) return;
      if (errno != ENOENT) _exit(2);
      struct stat st;
      shared_->linkTaken = shared_->swaps % 2 != 0 && ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0;
      _exit(0);
    };
    for (; !shared_->stop; ++shared_->swaps) exchange();
    if (shared_->swaps % 2 != 0) exchange();
    _exit(::unlinkat(at, link.c_str(), 0) == 0 || errno == ENOENT ? 0 : 4);
  }
  ~Swapper() {
    if (pid_ > 0) stop();
    if (shared_) ::munmap(shared_, sizeof(Shared));
  }
  Swapper(const Swapper&) = delete;
  Swapper& operator=(const Swapper&) = delete;

  bool started() const { return pid_ > 0; }
  bool linkTaken() const { return shared_->linkTaken; }
  // Ends the exchanges: whether every one succeeded and the swapper ended well.
  bool stop() {
    shared_->stop = true;
    int status = 0;
    const bool waited = ::waitpid(pid_, &status, 0) == pid_;
    pid_ = -1;
    return waited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

private:
  struct Shared {
    std::atomic<long> swaps{0};
    std::atomic<bool> linkTaken{false};
    std::atomic<bool> stop{false};
  };
  Shared* shared_ = nullptr;
  pid_t pid_ = -1;
};

} // namespace testing_support
