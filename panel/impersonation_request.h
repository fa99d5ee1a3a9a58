// The impersonation service's reading of a request, into plain values before anything acts on
// it. A request is a run of messages (runtime/process/impersonation_wire.h):
//
//   head: start word 1 | request code (2, 3, 6, 7: run; 5: impersonate) | the account's SID
//         string | the 40-byte process header, whose message carries the program's three
//         standard streams for a run and nothing for an impersonation
//   then, for a run only, after the service's acknowledgement:
//         flag "use the application name" | [application name] | command line |
//         current directory | environment block
//
// Every length is bounded: a request takes at most RunTime::impersonation::maxLength bytes
// altogether (what one message of a pipe carries).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/handle.h"
#include "runtime/process/impersonation_wire.h"

namespace panel {

// Where the reader's messages come from: a connection, or a fuzzer's bytes.
class MessageSource {
public:
  virtual ~MessageSource() = default;
  // The next message, of at most `limit` bytes (a longer one may end the request or be cut: the
  // reader refuses it either way); descriptors it carries are appended to `handles`. Empty when
  // the peer left. `betweenRequests` is set for the first message of a request.
  virtual std::optional<std::vector<std::uint8_t>> next(std::size_t limit, bool betweenRequests,
                                                        std::vector<os::Handle>& handles) = 0;
};

struct RequestHead {
  std::uint32_t code = 0;
  std::u16string sid;
  RunTime::impersonation::ProcessHeader header;
  std::vector<os::Handle> streams; // input, output, error (a run); none (an impersonation)
  bool isRun() const { return code != RunTime::impersonation::impersonateRequest; }
};

struct RunParameters {
  bool useApplicationName = false;
  std::u16string applicationName;
  std::u16string commandLine;
  std::u16string currentDirectory;
  std::u16string environment;
};

// Reads one request. Every method throws vexception naming the fault of a malformed request,
// "The client left in the middle of a request" when the peer goes, and "The request is too
// long" past the bound. A source that could not take a message's descriptors throws its own
// vexception (the service is out of descriptors), which passes through.
class RequestReader {
public:
  explicit RequestReader(MessageSource& source) : source_(source) {}

  // The head; empty when the peer left before a request began.
  std::optional<RequestHead> readHead();
  // The rest of a run request.
  RunParameters readRun();

private:
  std::vector<std::uint8_t> message(std::size_t size, std::vector<os::Handle>& handles, bool first = false);
  std::uint32_t word();
  std::u16string string(const char16_t* what);
  bool flag();

  MessageSource& source_;
  std::size_t budget_ = RunTime::impersonation::maxLength;
};

// The entries of an environment block: each "NAME=value" ended by a NUL; an empty entry (the
// block's closing NUL) ends it. An empty block is an empty environment.
std::vector<std::u16string> environmentEntries(std::u16string_view block);

// The program file and argument list of a run: the argument list is the command line split by
// the system's command-line rules; the program is the application name when it is to be used,
// else the first argument. Throws vexception "No program to start" when there is none.
struct ProgramLine {
  std::u16string program;
  std::vector<std::u16string> arguments;
};
ProgramLine programLine(const RunParameters& run);

} // namespace panel
