#include "os/posix/cgroup.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <optional>
#include <sstream>
#include <vector>

#include "os/posix/errno_map.h"
#include "os/posix/io.h"
#include "os/text.h"

namespace os::posix::cgroup {

namespace {

Result<std::string> readText(int dir, const char* name) {
  Fd fd(::openat(dir, name, O_RDONLY | O_CLOEXEC));
  if (!fd) return Result<std::string>::failure(win32FromErrno(errno));
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Result<std::string>::failure(win32FromErrno(errno));
    if (n == 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

std::uint32_t writeText(int dir, const char* name, std::string_view text) {
  Fd fd(::openat(dir, name, O_WRONLY | O_CLOEXEC));
  if (!fd) return win32FromErrno(errno);
  return writeAll(fd.get(), text);
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  for (std::string field; in >> field;) out.push_back(field);
  return out;
}

// mountinfo escapes blanks, tabs, line breaks and backslashes in paths as \ooo.
std::string unescape(const std::string& path) {
  std::string out;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '\\' && i + 3 < path.size()) {
      out += static_cast<char>((path[i + 1] - '0') * 64 + (path[i + 2] - '0') * 8 + (path[i + 3] - '0'));
      i += 3;
    } else {
      out += path[i];
    }
  }
  return out;
}

bool listed(const std::string& list, const std::string& item, char separator) {
  std::istringstream in(list);
  for (std::string entry; std::getline(in, entry, separator);)
    if (entry == item) return true;
  return false;
}

// This process's group as /proc/self/cgroup names it: in the unified hierarchy ("0::/path") with
// an empty controller, else in the version 1 hierarchy that carries the controller
// ("4:memory:/path").
std::optional<std::string> ownGroup(const std::string& controller = {}) {
  Result<std::string> text = readText(AT_FDCWD, "/proc/self/cgroup");
  if (!text.ok()) return std::nullopt;
  std::istringstream in(text.value());
  for (std::string line; std::getline(in, line);) {
    if (controller.empty() && line.starts_with("0::")) return line.substr(3);
    const std::size_t first = line.find(':'), second = line.find(':', first + 1);
    if (!controller.empty() && second != line.npos && listed(line.substr(first + 1, second - first - 1), controller, ','))
      return line.substr(second + 1);
  }
  return std::nullopt;
}

// The directory of `own` in a mounted hierarchy whose mounted root contains it: the unified one
// with an empty controller, else the version 1 one that carries the controller.
std::optional<std::string> groupDirectory(const std::string& own, const std::string& controller = {}) {
  Result<std::string> text = readText(AT_FDCWD, "/proc/self/mountinfo");
  if (!text.ok()) return std::nullopt;
  std::istringstream in(text.value());
  for (std::string line; std::getline(in, line);) {
    // id parent major:minor root mount-point options [optional fields] - type source super-options
    const std::vector<std::string> f = fields(line);
    std::size_t dash = 6;
    while (dash < f.size() && f[dash] != "-") ++dash;
    if (dash + 3 >= f.size()) continue;
    if (controller.empty() ? f[dash + 1] != "cgroup2" : f[dash + 1] != "cgroup" || !listed(f[dash + 3], controller, ','))
      continue;
    const std::string root = unescape(f[3]), mountPoint = unescape(f[4]);
    if (root == "/") return own == "/" ? mountPoint : mountPoint + own;
    if (own == root) return mountPoint;
    if (own.starts_with(root + "/")) return mountPoint + own.substr(root.size());
  }
  return std::nullopt;
}

Result<Base> refuse(const std::string& why) { return Result<Base>::failure(err::notSupported, utf16FromUtf8(why)); }

Result<Base> refuse(const std::string& what, std::uint32_t code) {
  return refuse(what + ": " + utf8FromUtf16(systemMessage(code)));
}

// Kills each listed process until none is listed: a process started between a listing and the
// kills is in the next listing, and a process with SIGKILL pending starts no other.
std::uint32_t killEach(int group) {
  for (;;) {
    Result<std::string> listed = readText(group, "cgroup.procs");
    if (!listed.ok()) return listed.code();
    if (listed.value().empty()) return err::success;
    std::istringstream in(listed.value());
    for (long pid; in >> pid;)
      if (::kill(static_cast<pid_t>(pid), SIGKILL) != 0 && errno != ESRCH) return win32FromErrno(errno);
  }
}

// Waits, on the modification events of cgroup.events, until it reads "populated 0".
std::uint32_t waitUntilEmpty(int group) {
  Fd events(::openat(group, "cgroup.events", O_RDONLY | O_CLOEXEC));
  if (!events) return win32FromErrno(errno);
  char buffer[256];
  for (;;) {
    ssize_t n = ::pread(events.get(), buffer, sizeof buffer - 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return win32FromErrno(errno);
    if (std::string_view(buffer, static_cast<std::size_t>(n)).find("populated 0") != std::string_view::npos)
      return err::success;
    pollfd changed{events.get(), POLLPRI, 0};
    if (::poll(&changed, 1, -1) < 0 && errno != EINTR) return win32FromErrno(errno);
  }
}

// The number after `key` on its line of a flat-keyed file ("oom_kill 2"); 0 when absent.
std::uint64_t counter(int group, const char* file, const std::string& key) {
  Result<std::string> text = readText(group, file);
  if (!text.ok()) return 0;
  std::istringstream in(text.value());
  for (std::string name; in >> name;) {
    std::uint64_t value = 0;
    if (!(in >> value)) return 0;
    if (name == key) return value;
  }
  return 0;
}

// Makes and removes a group below the base: what every run will do there.
std::optional<std::string> probe(int base, const std::string& path) {
  Result<Group> made = create(base);
  if (!made.ok()) return "making a group in " + path + ": " + utf8FromUtf16(systemMessage(made.code()));
  made.value().dir.reset();
  if (std::uint32_t rc = remove(base, made.value().name))
    return "removing a group in " + path + ": " + utf8FromUtf16(systemMessage(rc));
  return std::nullopt;
}

} // namespace

Result<Base> openVersion1Base(const std::string& controller) {
  const std::optional<std::string> own = ownGroup(controller);
  if (!own) return refuse("this process is in no group of a " + controller + " hierarchy");
  const std::optional<std::string> path = groupDirectory(*own, controller);
  if (!path) return refuse("no version 1 " + controller + " hierarchy is mounted that shows " + *own);
  Fd base(::open(path->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!base) return refuse(*path, win32FromErrno(errno));
  if (std::optional<std::string> why = probe(base.get(), *path)) return refuse(*why);
  return Base{std::move(base), *path, true};
}

std::uint32_t limitMemory(int group, std::uint64_t bytes, bool version1) {
  if (bytes == 0) return err::success;
  const std::string value = std::to_string(bytes);
  if (!version1) {
    // Without the swap limit a run would go on in swap past its memory limit.
    (void)writeText(group, "memory.swap.max", "0");
    return writeText(group, "memory.max", value);
  }
  const std::uint32_t rc = writeText(group, "memory.limit_in_bytes", value);
  // Only where swap is accounted (and after the memory limit: it may not be below it).
  if (rc == err::success) (void)writeText(group, "memory.memsw.limit_in_bytes", value);
  return rc;
}

std::uint32_t limitTasks(int group, std::uint32_t tasks) {
  return tasks == 0 ? err::success : writeText(group, "pids.max", std::to_string(tasks));
}

bool memoryLimitHit(int group, bool version1) {
  return counter(group, version1 ? "memory.oom_control" : "memory.events", "oom_kill") > 0;
}

bool taskLimitHit(int group) { return counter(group, "pids.events", "max") > 0; }

Result<Base> openBase() {
  const std::optional<std::string> own = ownGroup();
  if (!own) return refuse("this process is in no group of the unified control group hierarchy");
  const std::optional<std::string> path = groupDirectory(*own);
  if (!path) return refuse("no unified control group hierarchy (cgroup2) is mounted that shows " + *own);
  Fd base(::open(path->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!base) return refuse(*path, win32FromErrno(errno));
  Result<std::string> controllers = readText(base.get(), "cgroup.subtree_control");
  if (!controllers.ok()) return refuse(*path + "/cgroup.subtree_control", controllers.code());
  const bool wantLimits = [&] {
    Result<std::string> available = readText(base.get(), "cgroup.controllers");
    const std::vector<std::string> names = available.ok() ? fields(available.value()) : std::vector<std::string>{};
    return std::find(names.begin(), names.end(), "memory") != names.end() &&
           std::find(names.begin(), names.end(), "pids") != names.end();
  }();
  if (wantLimits || controllers.value().find_first_not_of(" \n") != std::string::npos) {
    if (::mkdirat(base.get(), "service", 0755) != 0 && errno != EEXIST)
      return refuse(*path + "/service", win32FromErrno(errno));
    Fd leaf(::openat(base.get(), "service", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    std::uint32_t moved = leaf ? place(leaf.get(), static_cast<int>(::getpid())) : win32FromErrno(errno);
    if (moved != err::success) return refuse("moving into " + *path + "/service", moved);
  }
  // A group with processes of its own may not enable controllers: the move above comes first.
  const bool limits = wantLimits && writeText(base.get(), "cgroup.subtree_control", "+memory +pids") == err::success;
  if (std::optional<std::string> why = probe(base.get(), *path)) return refuse(*why);
  return Base{std::move(base), *path, limits};
}

Result<Group> create(int base) {
  static std::atomic<std::uint64_t> next{1};
  for (;;) {
    std::string name = "run-" + std::to_string(next++);
    if (::mkdirat(base, name.c_str(), 0755) != 0) {
      // Another instance of the service may share the base (tests run several).
      if (errno == EEXIST) continue;
      return Result<Group>::failure(win32FromErrno(errno));
    }
    Fd dir(::openat(base, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (!dir) {
      const std::uint32_t rc = win32FromErrno(errno);
      (void)::unlinkat(base, name.c_str(), AT_REMOVEDIR);
      return Result<Group>::failure(rc);
    }
    return Group{std::move(dir), std::move(name)};
  }
}

std::uint32_t place(int group, int pid) { return writeText(group, "cgroup.procs", std::to_string(pid)); }

std::uint32_t killAll(int group) {
  std::uint32_t rc = writeText(group, "cgroup.kill", "1");
  if (rc == err::fileNotFound) rc = killEach(group);
  return rc == err::success ? waitUntilEmpty(group) : rc;
}

std::uint32_t killListed(int group) { return killEach(group); }

std::uint32_t remove(int base, const std::string& name) {
  return ::unlinkat(base, name.c_str(), AT_REMOVEDIR) == 0 ? err::success : win32FromErrno(errno);
}

} // namespace os::posix::cgroup
