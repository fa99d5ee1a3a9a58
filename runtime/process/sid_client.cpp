#include "runtime/process/sid_client.h"

#include <vector>

#include "os/impersonation.h"
#include "os/pipe.h"
#include "os/process.h"
#include "runtime/core/cancelation.h"
#include "runtime/core/exception.h"
#include "runtime/core/guard.h"
#include "runtime/log/log_manager.h"
#include "runtime/process/impersonation_account.h"
#include "runtime/process/impersonation_wire.h"
#include "runtime/process/process_output.h"

namespace RunTime {

namespace {

constexpr std::uint32_t kConnectTries = 10;

// The context message of each public operation's error frame.
auto contextOf(const char16_t* text) {
  return [text] { return std::u16string(text); };
}

void createPlainPipe(os::Handle& readEnd, os::Handle& writeEnd, const char* context) {
  readEnd.reset();
  writeEnd.reset();
  os::Result<os::pipe::PipePair> pair = os::pipe::createPipe(0, false);
  if (!pair.ok()) throwOSError(u"Unable to create pipe", pair.code(), ExceptionContext(u"", context, __LINE__));
  readEnd = std::move(pair.value().read);
  writeEnd = std::move(pair.value().write);
}

std::int64_t handleValue(const os::Handle& handle) { return static_cast<std::int64_t>(handle.get()); }

} // namespace

SIDClient::SIDClient()
    : stdoutOverlapped_("RunTime::Overlapped::Overlapped"), stderrOverlapped_("RunTime::Overlapped::Overlapped"),
      processOverlapped_("RunTime::Overlapped::Overlapped") {}

void SIDClient::sendRequestHead(std::uint32_t code, const std::u16string& sidString, bool headerFlag,
                                bool withStreams) {
  impersonation::ProcessHeader header{os::processId(), os::threadId()};
  std::vector<os::NativeHandle> streams;
  if (withStreams) {
    header.stdinRead = handleValue(stdinRead_);
    header.stdoutWrite = handleValue(stdoutWrite_);
    header.stderrWrite = handleValue(stderrWrite_);
    streams = {stdinRead_.get(), stdoutWrite_.get(), stderrWrite_.get()};
  }
  header.flag = headerFlag ? 1 : 0;
  const auto headerBytes = impersonation::encodeHeader(header);
  const auto codeBytes = impersonation::encodeWord(code);
  auto attempt = [&] {
    beginRequest(impersonation::startWord);
    rawWrite(codeBytes.data(), 4);
    writeString(sidString);
    writeBlock(headerBytes, streams);
    acknowledge();
  };
  try {
    attempt();
  } catch (const ThreadCancelation::ThreadCanceled&) {
    throw;
  } catch (const vexception& e) {
    LogManager::instance().log(corelog::levelInfo,
                               u"Kelvo impersonation pipe communication error: %s. Trying to reconnect again.",
                               e.fullText());
    disconnect();
    connect(kConnectTries);
    attempt();
  }
}

os::Handle SIDClient::exRunAsUserEx(const Sid& sid, bool useApplicationName, const std::u16string& applicationName,
                                    const std::u16string& commandLine, const std::u16string& currentDirectory,
                                    const std::u16string& environment, bool headerFlag, bool kindBit1, bool asyncOutput,
                                    bool kindBit4) {
  return guarded("RunTime::SIDClient::exRunAsUserEx", __LINE__, contextOf(u"Unable to call exRunAsUserEx()"), [&] {
    createPlainPipe(stdinRead_, stdinWrite_, "RunTime::SIDClient::exRunAsUserEx");
    if (asyncOutput) {
      createAsyncPipe(stdoutRead_, stdoutWrite_, 0, stdoutOverlapped_);
      createAsyncPipe(stderrRead_, stderrWrite_, 0, stderrOverlapped_);
    } else {
      createPlainPipe(stdoutRead_, stdoutWrite_, "RunTime::SIDClient::exRunAsUserEx");
      createPlainPipe(stderrRead_, stderrWrite_, "RunTime::SIDClient::exRunAsUserEx");
    }
    // Held until the run's reply is read: replies come back in request order on the one
    // connection, so another thread's request written before it would take this reply as its
    // acknowledgement.
    std::lock_guard lock(requestLock());
    const std::uint32_t code = impersonation::runRequest + (kindBit1 ? impersonation::runKindBit1 : 0) +
                               (kindBit4 ? impersonation::runKindBit4 : 0);
    sendRequestHead(code, sid.toSidString(), headerFlag, true);
    // The service holds its own copies of the program's ends now.
    stdinRead_.reset();
    stdoutWrite_.reset();
    stderrWrite_.reset();
    writeFlag(useApplicationName);
    if (useApplicationName) writeString(applicationName);
    writeString(commandLine);
    writeString(currentDirectory);
    writeString(environment);
    std::vector<os::Handle> process;
    const std::u16string reply = readMessage(&process);
    (void)impersonation::processHandleValue(reply);
    // The handle value is the service's; the descriptor that came with the reply is the tool's.
    if (process.size() != 1)
      throw vexception(u"Invalid answer from server: (no process handle)", VCONTEXT("RunTime::PipeClient::readValue"));
    processOverlapped_.bind(process.front().get(), "RunTime::SIDClient::exRunAsUserEx");
    return std::move(process.front());
  });
}

void SIDClient::impersonateWithoutProfile(const Sid& sid) {
  guarded("RunTime::SIDClient::impersonateWithoutProfile", __LINE__,
          contextOf(u"Unable to call impersonateWithoutProfile()"), [&] {
            const std::u16string sidString = sid.toSidString();
            {
              std::lock_guard lock(requestLock());
              sendRequestHead(impersonation::impersonateRequest, sidString, false, false);
            }
            // The service has authorised the account; the thread takes its identity on itself.
            const os::ThreadIdentity identity = accountIdentity(sidString);
            if (std::uint32_t rc = os::impersonateOnThread(identity))
              throwOSError(u"Unable to impersonate " + sidString, rc,
                           VCONTEXT("RunTime::SIDClient::impersonateWithoutProfile"));
          });
}

std::string SIDClient::casyncReadTaskOutput() {
  return guarded("RunTime::SIDClient::casyncReadTaskOutput", __LINE__,
                 contextOf(u"Unable to call casyncReadTaskOutput()"), [&] {
                   std::string output;
                   asyncReadTaskOutput(output, output, stdoutRead_.get(), stdoutOverlapped_, stderrRead_.get(),
                                       stderrOverlapped_, outputLimit_,
                                       processOverlapped_.bound() ? &processOverlapped_ : nullptr);
                   return output;
                 });
}

} // namespace RunTime
