// The client of the panel's impersonation service: starts a program as a user, with its standard
// streams connected back to the tool, or makes the calling thread act as a user.
//
// A client object serves one request. A script run goes: construct, exRunAsUserEx,
// casyncReadTaskOutput, wait for the process (VProcess::getExitCode), close the process handle,
// destroy. The connection to the service is shared by every client of the process
// (RunTime::PipeClient) and outlives them.
#pragma once

#include <cstdint>
#include <string>

#include "os/handle.h"
#include "runtime/pipe/overlapped.h"
#include "runtime/process/pipe_client.h"
#include "runtime/security/model/sid.h"

namespace RunTime {

class SIDClient : public PipeClient {
public:
  // Most output collected, in bytes; both streams count against it (see casyncReadTaskOutput).
  static constexpr std::uint32_t defaultOutputLimit = 0x1000000;

  // Creates the overlapped records; throws "Unable to create event".
  SIDClient();

  // Starts a program as the account of `sid` and returns its process handle (signalled when it
  // ends, yielding its exit code). The program is applicationName when useApplicationName is
  // set, else the first argument of commandLine; `environment` is the whole environment block
  // ("NAME=value" entries, each ended by a NUL). Its standard input is a pipe the tool never
  // writes to (the tool's end is closed with the client); its standard output and error are
  // pipes read by casyncReadTaskOutput (overlapped when asyncOutput is set). The request code is
  // 2, plus 1 for kindBit1, plus 4 for kindBit4. The request head is sent at most twice: a failure of the
  // first attempt is logged at Info and the connection renewed. Throws vexception "Unable to call
  // exRunAsUserEx()" around the cause: the service's refusal, "Invalid answer from server:
  // (<text>)", "Unable to create pipe", "Unable to connect to pipe <name>".
  os::Handle exRunAsUserEx(const Sid& sid, bool useApplicationName, const std::u16string& applicationName,
                           const std::u16string& commandLine, const std::u16string& currentDirectory,
                           const std::u16string& environment, bool headerFlag, bool kindBit1, bool asyncOutput,
                           bool kindBit4);

  // Has the service authorise the account of `sid` (request 5), then makes the calling thread act
  // as it (its file-system user and groups, without capabilities) until os::revertToSelf. Throws
  // vexception "Unable to call impersonateWithoutProfile()" around the cause.
  void impersonateWithoutProfile(const Sid& sid);

  // What the started program wrote to its standard output and error, in the order the reads
  // completed, until both ended or the program's end was reported (then what the pipes hold is
  // read without waiting for more: a process the program left behind that escaped the service's
  // kill does not keep the tool waiting). Collection stops at half the output limit (both outputs are
  // this one string, so its size counts twice) plus at most the chunk that crossed it; later
  // output is read and dropped, so the program never blocks on a full pipe.
  std::string casyncReadTaskOutput();

private:
  void sendRequestHead(std::uint32_t code, const std::u16string& sidString, bool headerFlag, bool withStreams);

  os::Handle stdinWrite_;
  os::Handle stdoutRead_;
  os::Handle stderrRead_;
  std::uint32_t outputLimit_ = defaultOutputLimit;
  os::Handle stdinRead_;
  os::Handle stdoutWrite_;
  Overlapped stdoutOverlapped_;
  os::Handle stderrWrite_;
  Overlapped stderrOverlapped_;
  // Bound to the process handle exRunAsUserEx returned: signalled when the program's end is
  // reported.
  Overlapped processOverlapped_;
};

} // namespace RunTime
