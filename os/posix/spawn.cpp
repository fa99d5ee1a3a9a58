#include "os/spawn.h"

#include <fcntl.h>
#include <linux/sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "os/path.h"
#include "os/posix/cgroup.h"
#include "os/posix/errno_map.h"
#include "os/posix/fd.h"
#include "os/text.h"

namespace os {

namespace {

// The directory below which each program gets a control group of its own; none: process groups.
posix::Fd programGroups;
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
                                int placed) {
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
  if (ok && ::chdir(directory.c_str()) != 0) failure[0] = 1;
  else if (ok) ::execve(program.c_str(), argv, envp);
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

} // namespace

std::string chooseProgramGrouping(bool controlGroups) {
  if (!controlGroups) return "programs run in process groups of their own: control groups are turned off";
  Result<posix::cgroup::Base> base = posix::cgroup::openBase();
  if (!base.ok()) return "programs run in process groups of their own: " + utf8FromUtf16(base.detail());
  programGroups = std::move(base.value().dir);
  return "programs run in control groups of their own below " + base.value().path;
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
  StartedProcess started;
  posix::cgroup::Group group;
  if (programGroups) {
    Result<posix::cgroup::Group> made = posix::cgroup::create(programGroups.get());
    // No group for this one (too many groups, say): its process group holds it.
    if (made.ok()) group = std::move(made.value());
  }
  auto failed = [&](int error) {
    if (group.dir) (void)posix::cgroup::remove(programGroups.get(), group.name);
    return Started::failure(posix::win32FromErrno(error));
  };
  pid_t child = group.dir ? cloneIntoGroup(group.dir.get()) : -1;
  if (child == 0)
    becomeProgram(start, program.value(), directory.value(), groups, argv.get(), envp.get(), reportWrite.get(), -1);
  if (child < 0) {
    // With a group, the child waits on `placed` until the parent has moved it there.
    posix::Fd placedRead, placedWrite;
    if (group.dir) {
      if (::pipe2(fds, O_CLOEXEC) < 0) return failed(errno);
      placedRead.reset(fds[0]);
      placedWrite.reset(fds[1]);
    }
    child = ::fork();
    if (child < 0) return failed(errno);
    if (child == 0) {
      if (placedWrite) ::close(placedWrite.get());
      becomeProgram(start, program.value(), directory.value(), groups, argv.get(), envp.get(), reportWrite.get(),
                    placedRead.get());
    }
    if (group.dir && posix::cgroup::place(group.dir.get(), child) != err::success) group.dir.reset();
  }
  if (group.dir) {
    started.group = posix::toHandle(std::move(group.dir));
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
  if (n == sizeof failure) {
    (void)waitForProgram(started);
    return Started::failure(failure[0] == 1 ? err::directory : posix::win32FromErrno(failure[1]));
  }
  return started;
}

Result<ProgramEnd> waitForProgram(StartedProcess& process) {
  const pid_t pid = static_cast<pid_t>(process.id);
  // The program has ended but stays unreaped meanwhile, so its id, which is its process group's,
  // is not handed to another process before the group is killed.
  siginfo_t info{};
  int rc;
  do rc = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
  while (rc < 0 && errno == EINTR);
  if (rc < 0) return Result<ProgramEnd>::failure(posix::win32FromErrno(errno));
  ProgramEnd end;
  if (process.group) {
    end.cleanupError = posix::cgroup::killAll(posix::fdOf(process.group.get()));
  } else if (::kill(-pid, SIGKILL) != 0 && errno != ESRCH) {
    end.cleanupError = posix::win32FromErrno(errno);
  }
  int status = 0;
  pid_t ended;
  do ended = ::waitpid(pid, &status, 0);
  while (ended < 0 && errno == EINTR);
  if (ended < 0) return Result<ProgramEnd>::failure(posix::win32FromErrno(errno));
  end.exitCode = static_cast<std::uint32_t>(WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status));
  if (process.group) {
    process.group.reset();
    if (end.cleanupError == err::success)
      end.cleanupError = posix::cgroup::remove(programGroups.get(), process.groupName);
  }
  return end;
}

} // namespace os
