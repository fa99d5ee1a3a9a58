#include "tests/service/service_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "tests/support/testing.h"

extern char** environ;

namespace testing_support {

ServiceProcess::ServiceProcess(const std::string& registry, const std::string& pipePath, const std::string& name,
                               const std::string& logFile, unsigned descriptorLimit)
    : ServiceProcess(std::vector<std::string>{binary(name), "--registry=" + registry}, pipePath, logFile, -1,
                     descriptorLimit) {}

ServiceProcess::ServiceProcess(const std::vector<std::string>& command, const std::string& pipePath,
                               const std::string& logFile, int listeningSocket, unsigned descriptorLimit) {
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
  // Set on the running service: it holds a handful of descriptors by then, and the limit holds
  // for every connection the test makes once the wait below has seen the service listen.
  const rlimit limit{descriptorLimit, descriptorLimit};
  if (descriptorLimit != 0 && ::prlimit(pid_, RLIMIT_NOFILE, &limit, nullptr) != 0)
    throw std::runtime_error(std::string("prlimit failed: ") + std::strerror(errno));
  struct stat st;
  for (int i = 0; i < 500 && ::stat(pipePath.c_str(), &st) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0) (void)stop();
}

int ServiceProcess::stop() {
  // Only a suspended service is resumed, and before the SIGTERM: a SIGCONT that reaches a
  // running service discards the SIGSTOP by which the leak checker stops it at exit, and the
  // checker then waits for ever.
  if (suspended_) resume();
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ServiceProcess::kill() {
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void ServiceProcess::suspend() {
  ::kill(pid_, SIGSTOP);
  suspended_ = true;
}

void ServiceProcess::resume() {
  ::kill(pid_, SIGCONT);
  suspended_ = false;
}

} // namespace testing_support
