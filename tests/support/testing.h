// Helpers shared by the tests: temporary directories, a private registry store, child processes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "os/posix/fd.h"
#include "os/root.h"
#include "os/security_store.h"

namespace testing_support {

// UTF-16 to UTF-8 for assertions and messages.
std::string u8(std::u16string_view text);

// Sets an environment variable for its lifetime; it then has its earlier value again, or none.
class ScopedEnv {
public:
  ScopedEnv(std::string name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
  std::string name_;
  std::optional<std::string> saved_;
};

// A fresh directory under the temporary directory, removed with its content when destroyed.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
  std::string path_;
};

// Writes a file (creating missing parent directories).
void writeFile(const std::string& path, std::string_view content);
std::string readFile(const std::string& path);
// The change time (seconds and nanoseconds) of the path and of everything below it, by path:
// what a test compares to see that nothing's owner, mode, ACL or attributes was written.
std::map<std::string, std::string> changeTimes(const std::string& path);

// Points TAVRIX_REGISTRY at a private store file for the lifetime of the object. The text is
// the body of the store, written after the format's header line.
class ScopedRegistry {
public:
  explicit ScopedRegistry(std::string_view body = {});

  const std::string& path() const { return file_; }
  void write(std::string_view body);

private:
  TempDir dir_;
  std::string file_;
  ScopedEnv variable_;
};

struct ProcessResult {
  int exitCode = -1; // 128 + the signal when a signal ended it
  std::string out;
  std::string err;
  bool timedOut = false; // killed after the time-out
};

// Runs a program with arguments and extra environment variables, its standard input empty;
// waits for it and collects its output. A program still running after `timeout` is killed.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& environment = {},
                         std::chrono::milliseconds timeout = std::chrono::hours(1));

// A uniquely named local group (groupadd), removed when destroyed. Its id is drawn at random
// from a high range, so that a group or user another test deletes meanwhile never hands its id
// on. Needs root; ok() tells whether it was created.
class ScopedGroup {
public:
  ScopedGroup();
  ~ScopedGroup();
  ScopedGroup(const ScopedGroup&) = delete;
  ScopedGroup& operator=(const ScopedGroup&) = delete;

  bool ok() const { return ok_; }
  const std::string& name() const { return name_; }
  std::uint32_t gid() const { return gid_; }

private:
  std::string name_;
  bool ok_ = false;
  std::uint32_t gid_ = 0;
};

// A uniquely named local user (useradd, no home directory), removed when destroyed; with a group
// of its own, or with a given primary group and supplementary groups. Ids as for ScopedGroup.
class ScopedUser {
public:
  ScopedUser();
  explicit ScopedUser(const ScopedGroup& primary, const std::vector<const ScopedGroup*>& supplementary = {});
  ~ScopedUser();
  ScopedUser(const ScopedUser&) = delete;
  ScopedUser& operator=(const ScopedUser&) = delete;

  bool ok() const { return ok_; }
  const std::string& name() const { return name_; }
  std::uint32_t uid() const { return uid_; }
  std::uint32_t gid() const { return gid_; }

private:
  void create(std::vector<std::string> options);

  std::string name_;
  bool ok_ = false;
  std::uint32_t uid_ = 0;
  std::uint32_t gid_ = 0;
};

// Both ends of a new pipe, each owned. Throws std::runtime_error when none can be made.
struct Pipe {
  os::posix::Fd readEnd;
  os::posix::Fd writeEnd;
};
Pipe makePipe();

// Holds each access to `path` that fanotify reports as a permission event of `mask`
// (FAN_OPEN_PERM, FAN_ACCESS_PERM ...) until `onEvent`, run on a thread of the gate's own with the
// accessing process's id, returns: how a test acts inside an operation at a known point. Needs
// root (ok() says whether the watch was set). open() ends the gate: what follows is not held.
class PermissionGate {
public:
  PermissionGate(const std::string& path, std::uint64_t mask, std::function<void(int pid)> onEvent);
  ~PermissionGate() { open(); }
  bool ok() const { return thread_.joinable(); }
  void open();

private:
  os::posix::Fd watch_;
  Pipe stop_;
  std::thread thread_;
};

// The processes that hold a lock on the file and those that wait for one, as /proc/locks lists them.
struct Lockers {
  std::set<int> holders, waiters;
};
Lockers lockersOf(const std::string& file);

// The calling thread's id, and a wait until the thread of that id (in this process) sleeps in
// the kernel or has ended, as /proc shows it: how a test knows another thread has got to a
// blocking wait.
int threadId();
void waitUntilAsleep(int threadId);

// The processes of the user that are alive: neither a zombie, nor exiting, nor with SIGKILL
// pending (killed, but not yet scheduled to die). As "pid comm" for messages.
std::vector<std::string> liveProcessesOf(std::uint32_t uid);

// The root of a host path's parent (os::Root::openParent) and the path's last name beneath it,
// for the operations of os/files.h and os/tree.h on a full path; an invalid root when it cannot
// be opened.
struct ParentOf {
  os::Root root;
  std::u16string name;
};
ParentOf parentOf(const std::string& hostPath);
// The security object at a host path, opened beneath its parent's root.
os::Result<os::SecurityObject> securityObjectAt(const std::string& hostPath);

// Path of a built executable (build/bin/<name>).
std::string binary(std::string_view name);

// Whether the test runs under tools/enosys.c's launcher (./test.sh's sanitizer pass) with the
// system call `name` failing with ENOSYS, as on a kernel that lacks it (TAVRIX_ENOSYS lists them).
bool launcherRefuses(std::string_view name);

} // namespace testing_support
