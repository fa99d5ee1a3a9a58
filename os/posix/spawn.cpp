#include "os/spawn.h"

#include <fcntl.h>
#include <linux/sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "os/path.h"
#include "os/posix/cgroup.h"
#include "os/posix/errno_map.h"
#include "os/posix/landlock.h"
#include "os/posix/fd.h"
#include "os/posix/run_end.h"
#include "os/text.h"

namespace os {

namespace {

// The directory below which each program gets a control group of its own; none: process groups.
posix::Fd programGroups;
// Where memory and task limits are set: in the program's own group (unified hierarchy), or in
// groups of its own below these version 1 hierarchies; neither: nowhere.
bool unifiedLimits = false;
posix::Fd memoryGroups, taskGroups;
// clone3 with CLONE_INTO_CGROUP (kernel 5.7) until the kernel turns it down.
std::atomic<bool> cloneIntoGroupWorks{true};

// A NULL-terminated argument or environment vector over strings that it keeps.
class CStringList {
public:
  explicit CStringList(const std::vector<std::u16string>& items) {
    for (const std::u16string& item : items) strings_.push_back(utf8FromUtf16(item));
    for (std::string& text : strings_) pointers_.push_back(text.data());
    pointers_.push_back(nullptr);
  }
  char* const* get() const { return pointers_.data(); }

private:
  std::vector<std::string> strings_;
  std::vector<char*> pointers_;
};

// In the child, between fork and exec: only async-signal-safe calls, and raw system calls for the
// ids (after clone3 the C library still believes in the parent's threads and would signal them
// to change theirs). With `placed` valid, first waits until it closes: the parent is moving the
// child into its control group. When a step fails, writes {1 when it was the working directory
// else 0, errno} on `report` and ends.
[[noreturn]] void becomeProgram(const ProcessStart& start, const std::string& program, const std::string& directory,
                                const std::vector<gid_t>& groups, char* const* argv, char* const* envp, int report,
                                int placed, int ruleset) {
  char byte;
  while (placed >= 0 && ::read(placed, &byte, 1) < 0 && errno == EINTR) {
  }
  // The service blocks its stop signals and ignores SIGPIPE; the program starts with neither.
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::signal(SIGPIPE, SIG_DFL);
  const int stdio[3] = {posix::fdOf(start.input), posix::fdOf(start.output), posix::fdOf(start.error)};
  // The standard descriptors first go above 2, so that moving one into place cannot close
  // another that sits where it goes.
  int moved[3];
  // A session and process group of its own: what holds the run together where no control group
  // does.
  bool ok = ::setsid() >= 0;
  for (int i = 0; ok && i < 3; ++i) ok = (moved[i] = ::fcntl(stdio[i], F_DUPFD, 3)) >= 0;
  for (int i = 0; ok && i < 3; ++i) ok = ::dup2(moved[i], i) == i;
  // Nothing else of the service's reaches the program, whatever its flags.
  ok = ok && ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0;
  ok = ok && ::syscall(SYS_setgroups, groups.size(), groups.data()) == 0 && ::syscall(SYS_setgid, start.gid) == 0 &&
       ::syscall(SYS_setuid, start.uid) == 0;
  // A working directory that cannot be entered is reported as such, as the system's process
  // creation does (267), not as a missing program.
  int failure[2] = {0, 0};
  // CPU time counts for each process: soft limit SIGXCPU, a second later SIGKILL.
  const rlimit cpu{start.limits.cpuSeconds, static_cast<rlim_t>(start.limits.cpuSeconds) + 1};
  ok = ok && (start.limits.cpuSeconds == 0 || ::setrlimit(RLIMIT_CPU, &cpu) == 0);
  if (ok && ::chdir(directory.c_str()) != 0) {
    failure[0] = 1;
  } else if (ok) {
    // Last, so that nothing before the program itself runs confined; no-new-privileges always.
    const int rc = posix::landlock::restrictSelf(ruleset);
    if (rc == 0) ::execve(program.c_str(), argv, envp);
    else errno = rc;
  }
  failure[1] = errno;
  (void)!::write(report, failure, sizeof failure);
  ::_exit(127);
}

// A child born in the control group (clone3 with CLONE_INTO_CGROUP); -1 when the kernel refuses.
pid_t cloneIntoGroup(int group) {
  if (!cloneIntoGroupWorks) return -1;
  clone_args args{};
  args.flags = CLONE_INTO_CGROUP;
  args.exit_signal = SIGCHLD;
  args.cgroup = static_cast<std::uint64_t>(group);
  const pid_t child = static_cast<pid_t>(::syscall(SYS_clone3, &args, sizeof args));
  // A kernel without clone3 or without the flag says so the same way every time.
  if (child < 0 && (errno == ENOSYS || errno == E2BIG || errno == EINVAL)) cloneIntoGroupWorks = false;
  return child;
}

// One of the run's groups, opened by its name below the base.
Result<posix::Fd> openGroup(const posix::Fd& base, const std::string& name) {
  posix::Fd group(::openat(base.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!group) return Result<posix::Fd>::failure(posix::win32FromErrno(errno));
  return group;
}

// Whether the run met its memory or task limit, in the groups that carry them.
LimitHit groupLimitHit(const StartedProcess& process) {
  const bool version1 = !process.limitGroupName.empty();
  if (!version1 && (!unifiedLimits || process.groupName.empty())) return LimitHit::none;
  Result<posix::Fd> memory = version1 ? openGroup(memoryGroups, process.limitGroupName)
                                      : openGroup(programGroups, process.groupName);
  if (memory.ok() && posix::cgroup::memoryLimitHit(memory.value().get(), version1)) return LimitHit::memory;
  Result<posix::Fd> tasks = version1 ? openGroup(taskGroups, process.limitGroupName) : std::move(memory);
  if (tasks.ok() && posix::cgroup::taskLimitHit(tasks.value().get())) return LimitHit::tasks;
  return LimitHit::none;
}

LimitHit limitHit(const StartedProcess& process, int status) {
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU) return LimitHit::cpuTime;
  return groupLimitHit(process);
}

// A run's groups of the version 1 memory and pids hierarchies, open while the program is placed.
struct LimitGroups {
  posix::Fd memory, tasks;
};

// Groups of the version 1 memory and pids hierarchies for one run, with its limits.
std::uint32_t makeLimitGroups(const RunLimits& limits, StartedProcess& started, LimitGroups& groups) {
  if (!memoryGroups || (limits.memoryBytes == 0 && limits.tasks == 0)) return err::success;
  // One name free in both hierarchies: they may sit at different depths, and another
  // instance's groups (or one it left behind) may hold a name in one of them only.
  for (;;) {
    Result<posix::cgroup::Group> memory = posix::cgroup::create(memoryGroups.get());
    if (!memory.ok()) return memory.code();
    if (::mkdirat(taskGroups.get(), memory.value().name.c_str(), 0755) == 0) {
      started.limitGroupName = memory.value().name;
      groups.memory = std::move(memory.value().dir);
      break;
    }
    const int error = errno;
    (void)posix::cgroup::remove(memoryGroups.get(), memory.value().name);
    if (error != EEXIST) return posix::win32FromErrno(error);
  }
  Result<posix::Fd> tasks = openGroup(taskGroups, started.limitGroupName);
  if (!tasks.ok()) return tasks.code();
  groups.tasks = std::move(tasks.value());
  if (std::uint32_t rc = posix::cgroup::limitMemory(groups.memory.get(), limits.memoryBytes, true)) return rc;
  return posix::cgroup::limitTasks(groups.tasks.get(), limits.tasks);
}

std::uint32_t removeLimitGroups(StartedProcess& process) {
  if (process.limitGroupName.empty()) return err::success;
  std::uint32_t rc = posix::cgroup::remove(memoryGroups.get(), process.limitGroupName);
  const std::uint32_t tasks = posix::cgroup::remove(taskGroups.get(), process.limitGroupName);
  if (rc == err::success && tasks != err::fileNotFound) rc = tasks;
  process.limitGroupName.clear();
  return rc;
}

// Which limits hold, for the log.
std::string limitPlace(const posix::cgroup::Base& base) {
  if (base.limits) {
    unifiedLimits = true;
    return "; memory and task limits in the unified hierarchy (memory.max, pids.max)";
  }
  Result<posix::cgroup::Base> memory = posix::cgroup::openVersion1Base("memory");
  Result<posix::cgroup::Base> tasks = posix::cgroup::openVersion1Base("pids");
  if (!memory.ok() || !tasks.ok())
    return "; no memory and task limits: " + utf8FromUtf16((memory.ok() ? tasks : memory).detail());
  memoryGroups = std::move(memory.value().dir);
  taskGroups = std::move(tasks.value().dir);
  return "; memory and task limits in version 1 hierarchies below " + memory.value().path + " and " +
         tasks.value().path;
}

} // namespace

int landlockVersion() { return posix::landlock::version(); }

std::string chooseProgramGrouping(bool controlGroups) {
  if (!controlGroups)
    return "programs run in process groups of their own, with no memory and task limits: control groups are turned off";
  Result<posix::cgroup::Base> base = posix::cgroup::openBase();
  if (!base.ok()) return "programs run in process groups of their own: " + utf8FromUtf16(base.detail()) + limitPlace({});
  programGroups = std::move(base.value().dir);
  return "programs run in control groups of their own below " + base.value().path + limitPlace(base.value());
}

Result<StartedProcess> startProcessAs(const ProcessStart& start) {
  using Started = Result<StartedProcess>;
  Result<std::string> program = hostPath(start.program);
  if (!program.ok()) return Started::failure(program.code());
  Result<std::string> directory = hostPath(start.directory);
  if (!directory.ok()) return Started::failure(directory.code());
  // Everything the child needs is made before the fork: it may not allocate.
  const CStringList argv(start.arguments), envp(start.environment);
  const std::vector<gid_t> groups(start.groups.begin(), start.groups.end());
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) < 0) return Started::failure(posix::win32FromErrno(errno));
  posix::Fd reportRead(fds[0]), reportWrite(fds[1]);
  posix::Fd ruleset;
  if (start.confinement.enabled) {
    Result<posix::Fd> rules = posix::landlock::ruleset(start.confinement);
    if (!rules.ok()) return Started::failure(rules.code());
    ruleset = std::move(rules.value());
  }
  StartedProcess started;
  started.limits = start.limits;
  LimitGroups limitGroups;
  if (std::uint32_t rc = makeLimitGroups(start.limits, started, limitGroups)) {
    (void)removeLimitGroups(started);
    return Started::failure(rc);
  }
  posix::cgroup::Group group;
  if (programGroups) {
    Result<posix::cgroup::Group> made = posix::cgroup::create(programGroups.get());
    // No group for this one (too many groups, say): its process group holds it.
    if (made.ok()) group = std::move(made.value());
    if (group.dir && unifiedLimits &&
        (posix::cgroup::limitMemory(group.dir.get(), start.limits.memoryBytes, false) != err::success ||
         posix::cgroup::limitTasks(group.dir.get(), start.limits.tasks) != err::success)) {
      (void)posix::cgroup::remove(programGroups.get(), group.name);
      (void)removeLimitGroups(started);
      return Started::failure(err::accessDenied);
    }
  }
  auto failed = [&](int error) {
    if (group.dir) (void)posix::cgroup::remove(programGroups.get(), group.name);
    (void)removeLimitGroups(started);
    return Started::failure(posix::win32FromErrno(error));
  };
  // Version 1 groups take a process only by its id: the child then waits until it is placed.
  std::uint32_t unplaced = err::success;
  pid_t child = group.dir && !limitGroups.memory ? cloneIntoGroup(group.dir.get()) : -1;
  if (child == 0)
    becomeProgram(start, program.value(), directory.value(), groups, argv.get(), envp.get(), reportWrite.get(), -1,
                  ruleset.get());
  if (child < 0) {
    // With a group, the child waits on `placed` until the parent has moved it there.
    posix::Fd placedRead, placedWrite;
    if (group.dir || limitGroups.memory) {
      if (::pipe2(fds, O_CLOEXEC) < 0) return failed(errno);
      placedRead.reset(fds[0]);
      placedWrite.reset(fds[1]);
    }
    child = ::fork();
    if (child < 0) return failed(errno);
    if (child == 0) {
      if (placedWrite) ::close(placedWrite.get());
      becomeProgram(start, program.value(), directory.value(), groups, argv.get(), envp.get(), reportWrite.get(),
                    placedRead.get(), ruleset.get());
    }
    if (group.dir && posix::cgroup::place(group.dir.get(), child) != err::success) group.dir.reset();
    // A run outside its limits' groups would run without them: it is stopped before it starts.
    if (limitGroups.memory) {
      unplaced = posix::cgroup::place(limitGroups.memory.get(), child);
      if (unplaced == err::success) unplaced = posix::cgroup::place(limitGroups.tasks.get(), child);
      if (unplaced != err::success) ::kill(child, SIGKILL);
    }
  }
  if (group.dir) {
    started.groupName = std::move(group.name);
  } else if (!group.name.empty()) {
    (void)posix::cgroup::remove(programGroups.get(), group.name);
  }
  started.id = static_cast<std::uint32_t>(child);
  reportWrite.reset();
  // The report pipe closes at exec without a byte; a failed step writes its errno.
  int failure[2] = {0, 0};
  ssize_t n;
  do n = ::read(reportRead.get(), failure, sizeof failure);
  while (n < 0 && errno == EINTR);
  if (n == sizeof failure || unplaced != err::success) {
    (void)posix::finishRun(started, LimitHit::none);
    if (unplaced != err::success) return Started::failure(unplaced);
    return Started::failure(failure[0] == 1 ? err::directory : posix::win32FromErrno(failure[1]));
  }
  return started;
}

namespace posix {

std::uint32_t killRun(const StartedProcess& process) {
  if (!process.groupName.empty() || !process.limitGroupName.empty()) {
    const bool unified = !process.groupName.empty();
    Result<Fd> group = unified ? openGroup(programGroups, process.groupName)
                               : openGroup(memoryGroups, process.limitGroupName);
    if (!group.ok()) return group.code();
    return unified ? cgroup::killAll(group.value().get()) : cgroup::killListed(group.value().get());
  }
  return ::kill(-static_cast<pid_t>(process.id), SIGKILL) == 0 || errno == ESRCH ? err::success
                                                                                : win32FromErrno(errno);
}

Result<ProgramEnd> finishRun(StartedProcess& process, LimitHit stoppedBy) {
  const pid_t pid = static_cast<pid_t>(process.id);
  // The program stays unreaped meanwhile, so its id, which is its process group's, is not
  // handed to another process before the group is killed.
  siginfo_t info{};
  int rc;
  do rc = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
  while (rc < 0 && errno == EINTR);
  if (rc < 0) return Result<ProgramEnd>::failure(win32FromErrno(errno));
  ProgramEnd end;
  end.cleanupError = killRun(process);
  int status = 0;
  pid_t ended;
  do ended = ::waitpid(pid, &status, 0);
  while (ended < 0 && errno == EINTR);
  if (ended < 0) return Result<ProgramEnd>::failure(win32FromErrno(errno));
  end.exitCode = static_cast<std::uint32_t>(WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status));
  end.limit = stoppedBy != LimitHit::none ? stoppedBy : limitHit(process, status);
  if (std::uint32_t rc = removeLimitGroups(process); end.cleanupError == err::success) end.cleanupError = rc;
  if (!process.groupName.empty()) {
    if (std::uint32_t rc = cgroup::remove(programGroups.get(), process.groupName); end.cleanupError == err::success)
      end.cleanupError = rc;
    process.groupName.clear();
  }
  return end;
}

} // namespace posix

} // namespace os
