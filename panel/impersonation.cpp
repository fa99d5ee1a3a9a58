#include "panel/impersonation.h"

#include <algorithm>
#include <array>
#include <exception>
#include <memory>

#include "os/exit_code.h"
#include "os/file_io.h"
#include "os/path.h"
#include "os/tree.h"
#include "os/pipe.h"
#include "os/reaper.h"
#include "os/spawn.h"
#include "os/text.h"
#include "panel/impersonation_request.h"
#include "panel/sandbox.h"
#include "panel/server.h"
#include "runtime/core/exception.h"
#include "runtime/process/impersonation_account.h"

namespace panel {

namespace wire = RunTime::impersonation;

namespace {

class ChannelSource : public MessageSource {
public:
  explicit ChannelSource(Channel& channel) : channel_(channel) {}
  std::optional<std::vector<std::uint8_t>> next(std::size_t limit, bool betweenRequests,
                                                std::vector<os::Handle>& handles) override {
    return channel_.receive(limit, betweenRequests, &handles);
  }

private:
  Channel& channel_;
};

// A reply: status, byte count and payload, each a message of its own; descriptors travel with
// the payload.
void reply(Channel& channel, std::uint32_t status, std::span<const std::uint8_t> payload,
           std::span<const os::NativeHandle> handles = {}) {
  channel.send(wire::encodeWord(status));
  channel.send(wire::encodeWord(static_cast<std::uint32_t>(payload.size())));
  if (!payload.empty()) channel.send(payload, handles);
}

void replyError(Channel& channel, std::u16string_view message) {
  const std::string bytes = os::littleEndianFromUtf16(message);
  reply(channel, wire::statusError, {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

// Answers the fault and ends the connection.
[[noreturn]] void refuse(Channel& channel, const vexception& fault, const char* reason) {
  logLine(std::string(reason) + ": " + os::utf8FromUtf16(fault.message()));
  replyError(channel, fault.message());
  throw Drop{reason};
}

// What the run leaves in /tmp goes with it; the walk follows no link the user made there.
void removeTemporaryDirectory(const std::u16string& path) {
  std::u16string name;
  os::Result<os::Root> parent = os::Root::openParent(path, name);
  std::uint32_t code = parent.ok() ? 0 : parent.code();
  if (parent.ok()) {
    const os::TreeOutcome removed = os::removeTree(parent.value(), name, true);
    if (removed.failure) code = removed.failure->code;
  }
  if (code)
    logLine("the run's temporary directory " + os::utf8FromUtf16(os::shownPath(path)) + " stays: " +
            os::utf8FromUtf16(osErrorMessage(code)));
}

// Ends the run's error output with the limit it ran into, for the client to show.
void reportLimit(const os::Handle& error, const os::ProgramEnd& end, const os::RunLimits& limits) {
  const std::string message = limitMessage(end.limit, limits);
  if (message.empty() || end.exitCode == 0 || !error) return;
  const std::string line = "\n" + message + "\n";
  (void)os::writeFile(error.get(), line.data(), line.size());
}

// What is left to do when a run has ended, held by the reaper meanwhile: two descriptors per
// running program, the exit-code pipe's write end and the error stream (for the limit message).
struct RunEnding {
  os::Handle exitWriter;
  os::Handle error;
  std::u16string temporaryPath;

  // The exit code goes out once what the program left behind is gone, so the client's output
  // pipes are at their end by then.
  void finish(const os::StartedProcess& process, const os::Result<os::ProgramEnd>& end) {
    removeTemporaryDirectory(temporaryPath);
    const std::string pid = "pid " + std::to_string(process.id);
    if (!end.ok()) {
      logLine(pid + " cannot be waited for: " + os::utf8FromUtf16(osErrorMessage(end.code())));
      return;
    }
    if (end.value().cleanupError)
      logLine(pid + " ended; what it left behind: " + os::utf8FromUtf16(osErrorMessage(end.value().cleanupError)));
    if (const std::string message = limitMessage(end.value().limit, process.limits); !message.empty())
      logLine(pid + ": " + message);
    reportLimit(error, end.value(), process.limits);
    error.reset();
    (void)os::writeExitCode(exitWriter.get(), end.value().exitCode);
  }
};

// Starts the program as the account, hands it to the reaper and returns its process handle: the
// read end of a pipe on which the exit code comes when the program ends.
os::Handle startProgram(os::ProgramReaper& reaper, const os::ThreadIdentity& account, const RequestHead& head,
                        const RunParameters& run) {
  const ProgramLine line = programLine(run);
  const std::u16string directory = run.currentDirectory.empty() ? u"\\" : run.currentDirectory;
  Sandbox sandbox = prepareSandbox(account, line.program, directory);
  struct TemporaryGuard {
    std::u16string path;
    ~TemporaryGuard() {
      if (!path.empty()) removeTemporaryDirectory(path);
    }
  } temporary{sandbox.temporaryDirectory};
  os::ProcessStart start{line.program,
                         line.arguments,
                         withTemporaryDirectory(environmentEntries(run.environment), sandbox.temporaryDirectory),
                         directory,
                         account.uid,
                         account.gid,
                         account.groups,
                         head.streams[0].get(),
                         head.streams[1].get(),
                         head.streams[2].get(),
                         sandbox.confinement,
                         sandbox.limits};
  os::Result<os::Handle> error = os::pipe::duplicate(head.streams[2].get());
  os::Result<os::pipe::PipePair> exitPipe = os::pipe::createPipe(0, false);
  if (!exitPipe.ok()) throwOSError(u"Unable to create pipe", exitPipe.code(), VCONTEXT("panel::startProgram"));
  os::Result<os::StartedProcess> started = os::startProcessAs(start);
  if (!started.ok())
    throwOSError(u"Unable to start " + os::shownPath(line.program), started.code(), VCONTEXT("panel::startProgram"));
  const std::uint32_t pid = started.value().id;
  logLine("started " + os::utf8FromUtf16(os::shownPath(line.program)) + " as uid " + std::to_string(account.uid) +
          ", pid " +
          std::to_string(pid) + ", for pid " + std::to_string(head.header.processId) +
          (started.value().groupName.empty() ? ", in its process group"
                                              : ", in control group " + started.value().groupName));
  // The run outlives the connection: the program may run longer than its client stays.
  auto ending = std::make_shared<RunEnding>(RunEnding{std::move(exitPipe.value().write),
                                                      error.ok() ? std::move(error.value()) : os::Handle(),
                                                      std::exchange(temporary.path, {})});
  reaper.watch(std::move(started.value()),
               [ending](const os::StartedProcess& process, const os::Result<os::ProgramEnd>& end) {
                 try {
                   ending->finish(process, end);
                 } catch (const std::exception& failure) {
                   logLine("the end of pid " + std::to_string(process.id) + " is not reported: " + failure.what());
                 }
               });
  return std::move(exitPipe.value().read);
}

} // namespace

void serveImpersonation(Channel& channel, os::ProgramReaper& reaper) {
  ChannelSource source(channel);
  for (;;) {
    RequestReader reader(source);
    std::optional<RequestHead> head;
    try {
      head = reader.readHead();
    } catch (const vexception& fault) {
      refuse(channel, fault, "request refused");
    }
    if (!head) return;
    // A client whose head is refused sends nothing more of that request: the connection stays in
    // step and serves on.
    os::ThreadIdentity account;
    try {
      account = RunTime::accountIdentity(head->sid);
    } catch (const vexception& fault) {
      logLine("account refused: " + os::utf8FromUtf16(fault.message()));
      replyError(channel, fault.message());
      continue;
    }
    reply(channel, wire::statusDone, {});
    if (!head->isRun()) {
      logLine("impersonation of uid " + std::to_string(account.uid) + " authorised for pid " +
              std::to_string(head->header.processId));
      continue;
    }
    RunParameters run;
    try {
      run = reader.readRun();
    } catch (const vexception& fault) {
      refuse(channel, fault, "request refused");
    }
    try {
      os::Handle process = startProgram(reaper, account, *head, run);
      // The handle value is this service's; the descriptor itself travels with the reply.
      std::array<std::uint8_t, 8> value{};
      const auto word = wire::encodeWord(static_cast<std::uint32_t>(process.get()));
      std::copy(word.begin(), word.end(), value.begin());
      const os::NativeHandle handles[1] = {process.get()};
      reply(channel, wire::statusText, value, handles);
    } catch (const vexception& fault) {
      logLine("start failed: " + os::utf8FromUtf16(fault.message()));
      replyError(channel, fault.message());
    }
  }
}

} // namespace panel
