#include "tests/support/service_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "os/posix/fd.h"
#include "tests/support/testing.h"

extern char** environ;

namespace testing_support {

namespace {

// Waits until the path exists or the process ends (a minute at most between two steps): inotify
// reports what is made in the pipe's directory, made here when missing (as the service makes it),
// and the process's pidfd its end. What was made before the watch is seen by the check.
void waitForPath(const std::string& path, int pid) {
  const std::string directory = path.substr(0, path.rfind('/'));
  std::filesystem::create_directories(directory);
  const os::posix::Fd notify(::inotify_init1(IN_CLOEXEC)), process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (::inotify_add_watch(notify.get(), directory.c_str(), IN_CREATE | IN_MOVED_TO) < 0) return;
  pollfd events[] = {{notify.get(), POLLIN, 0}, {process.get(), POLLIN, 0}};
  while (::access(path.c_str(), F_OK) != 0 && ::poll(events, 2, 60000) > 0 && events[1].revents == 0) {
    char buffer[4096];
    (void)::read(notify.get(), buffer, sizeof buffer);
  }
}

} // namespace

ServiceProcess::ServiceProcess(const std::string& registry, const std::string& pipePath, const std::string& name,
                               const std::string& logFile)
    : ServiceProcess(std::vector<std::string>{binary(name), "--registry=" + registry}, pipePath, logFile) {}

ServiceProcess::ServiceProcess(const std::vector<std::string>& command, const std::string& pipePath,
                               const std::string& logFile, int listeningSocket) {
  std::vector<std::string> line = command;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (listeningSocket >= 0) {
    // The shell's process becomes the service, so its pid is the one LISTEN_PID must name.
    line.insert(line.begin(), {"/bin/sh", "-c", "export LISTEN_FDS=1 LISTEN_PID=$$; exec \"$0\" \"$@\""});
    posix_spawn_file_actions_adddup2(&actions, listeningSocket, 3);
  } else {
    // A socket left by an earlier instance must not pass for this one's.
    ::unlink(pipePath.c_str());
  }
  std::vector<char*> argv;
  for (const std::string& argument : line) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const std::string& program = line.front();
  if (!logFile.empty())
    posix_spawn_file_actions_addopen(&actions, 2, logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int error = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error) throw std::runtime_error("spawn of " + program + " failed: " + std::strerror(error));
  waitForPath(pipePath, pid_);
}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0) (void)stop();
}

int ServiceProcess::end(int signal) {
  ::kill(pid_, signal);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace testing_support
