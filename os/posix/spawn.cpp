#include "os/spawn.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "os/path.h"
#include "os/posix/errno_map.h"
#include "os/posix/fd.h"
#include "os/text.h"

namespace os {

namespace {

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

// In the child, between fork and exec: only async-signal-safe calls. When a step fails, writes
// {1 when it was the working directory else 0, errno} on `report` and ends.
[[noreturn]] void becomeProgram(const ProcessStart& start, const std::string& program, const std::string& directory,
                                const std::vector<gid_t>& groups, char* const* argv, char* const* envp, int report) {
  // The service blocks its stop signals and ignores SIGPIPE; the program starts with neither.
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::signal(SIGPIPE, SIG_DFL);
  const int stdio[3] = {posix::fdOf(start.input), posix::fdOf(start.output), posix::fdOf(start.error)};
  // The standard descriptors first go above 2, so that moving one into place cannot close
  // another that sits where it goes.
  int moved[3];
  bool ok = ::setsid() >= 0;
  for (int i = 0; ok && i < 3; ++i) ok = (moved[i] = ::fcntl(stdio[i], F_DUPFD, 3)) >= 0;
  for (int i = 0; ok && i < 3; ++i) ok = ::dup2(moved[i], i) == i;
  // Nothing else of the service's reaches the program, whatever its flags.
  ok = ok && ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0;
  ok = ok && ::setgroups(groups.size(), groups.data()) == 0 && ::setgid(start.gid) == 0 && ::setuid(start.uid) == 0;
  // A working directory that cannot be entered is reported as such, as the system's process
  // creation does (267), not as a missing program.
  int failure[2] = {0, 0};
  if (ok && ::chdir(directory.c_str()) != 0) failure[0] = 1;
  else if (ok) ::execve(program.c_str(), argv, envp);
  failure[1] = errno;
  (void)!::write(report, failure, sizeof failure);
  ::_exit(127);
}

} // namespace

Result<std::uint32_t> startProcessAs(const ProcessStart& start) {
  using Started = Result<std::uint32_t>;
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
  const pid_t child = ::fork();
  if (child < 0) return Started::failure(posix::win32FromErrno(errno));
  if (child == 0)
    becomeProgram(start, program.value(), directory.value(), groups, argv.get(), envp.get(), reportWrite.get());
  reportWrite.reset();
  // The report pipe closes at exec without a byte; a failed step writes its errno.
  int failure[2] = {0, 0};
  ssize_t n;
  do n = ::read(reportRead.get(), failure, sizeof failure);
  while (n < 0 && errno == EINTR);
  if (n == sizeof failure) {
    ::waitpid(child, nullptr, 0);
    return Started::failure(failure[0] == 1 ? err::directory : posix::win32FromErrno(failure[1]));
  }
  return static_cast<std::uint32_t>(child);
}

Result<std::uint32_t> waitForProcess(std::uint32_t processId) {
  int status = 0;
  pid_t ended;
  do ended = ::waitpid(static_cast<pid_t>(processId), &status, 0);
  while (ended < 0 && errno == EINTR);
  if (ended < 0) return Result<std::uint32_t>::failure(posix::win32FromErrno(errno));
  if (WIFSIGNALED(status)) return static_cast<std::uint32_t>(128 + WTERMSIG(status));
  return static_cast<std::uint32_t>(WEXITSTATUS(status));
}

} // namespace os
