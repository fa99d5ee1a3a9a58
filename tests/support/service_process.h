// A real panel service (the management service unless named), started for a test on a private registry and run directory.
#pragma once

#include <csignal>
#include <string>
#include <vector>

namespace testing_support {

class ServiceProcess {
public:
  // Starts the service (build/bin/<program>) with --registry=<registry> and waits until its pipe
  // exists. Its standard error (the log) goes to `logFile` when one is named.
  ServiceProcess(const std::string& registry, const std::string& pipePath,
                 const std::string& program = "tavrix-management-service", const std::string& logFile = {});
  // Runs a command that becomes the service (a socket activator that executes it, say) and waits
  // until the pipe exists. Given a listening socket, the service gets it as a service manager
  // hands one over: as descriptor 3, named by LISTEN_FDS and LISTEN_PID.
  ServiceProcess(const std::vector<std::string>& command, const std::string& pipePath, const std::string& logFile = {},
                 int listeningSocket = -1);
  // Stops it with SIGTERM (when still running) and waits for it.
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Sends SIGTERM and returns the exit status (as waitpid reports
  // it: -1 when killed by signal).
  int stop() { return end(SIGTERM); }
  // Kills it with SIGKILL (no clean-up) and waits for it.
  void kill() { (void)end(SIGKILL); }
  int pid() const { return pid_; }

private:
  // Sends the signal and waits for the end: the exit status, or -1 when a signal ended it.
  int end(int signal);

  int pid_ = -1;
};

} // namespace testing_support
