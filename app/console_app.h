// The generic console application frame: one invocation turns into one exit code, and every
// failure into one logged error text.
#pragma once

#include <string>

class vconsoleapp {
public:
  vconsoleapp();
  virtual ~vconsoleapp();
  vconsoleapp(const vconsoleapp&) = delete;
  vconsoleapp& operator=(const vconsoleapp&) = delete;

  // Runs the command chosen by the arguments that follow the command; returns the exit code.
  virtual int go(int argc, const std::u16string* argv);
  // Selects the command from the whole argument vector (program name first) and calls go.
  virtual int start(int argc, const std::u16string* argv);
  // Reports how to call the tool.
  virtual void usage();

  // The whole life of one invocation: logs its start and end, and any failure at level Error.
  // Returns what start returned, or 1 after a failure or a cancellation of the thread (which is
  // not reported). Never throws.
  int run(int argc, const std::u16string* argv);

  // The live application object, or null.
  static vconsoleapp* application();

protected:
  // Called once the command is known to act (recognised, its parameters checked): the log
  // directory, the crash dump settings and the log's file and event-log sinks are opened only
  // now, so that --help and a usage error create nothing and take no lock. Throws when the
  // registry store cannot be read (TAVRIX_REGISTRY naming a missing file, say).
  void beginCommand();

  [[noreturn]] void cmdNotSupported(const std::u16string& possibleCommands);

  std::u16string command;

private:
  // The command line as the log shows it (secrets masked).
  std::u16string loggedCommandLine_;
};

// The logged form of a command line: each argument quoted, values of parameters whose name
// holds "password" or "pwd" replaced by "*".
std::u16string maskCommandLine(const std::u16string& commandLine);
