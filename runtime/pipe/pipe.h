// The Con:: pipe classes: a pipe handle with blocking, all-or-nothing reads and writes and a
// clear notion of the other side having gone.
//
// On this host a pipe is a Unix domain socket under `<run directory>/pipe/` (os/pipe.h): a
// message pipe moves one message per write and a read must take a whole message; a byte pipe is
// a stream. Handles are non-blocking descriptors; "synchronous" operations wait for them,
// overlapped ones wait through the pipe's Overlapped record, alertably and as cancellation
// points, so that a wait can be abandoned.
//
// The closed-pipe rules: once the other side has gone (end of data, broken pipe) or close() was
// called, `closed` is set and every read and write returns 0 without touching the handle.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "os/handle.h"
#include "os/pipe.h"
#include "runtime/pipe/overlapped.h"

namespace Con {

inline constexpr std::uint32_t PIPE_READMODE_BYTE = 0x0;
inline constexpr std::uint32_t PIPE_READMODE_MESSAGE = 0x2;

class Pipe {
public:
  // Takes over the handle. Throws "Unable to query pipe" when it is no pipe at all.
  explicit Pipe(os::Handle handle);
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  virtual ~Pipe() = default;

  // With exact set, a read or write moves exactly count bytes and returns count, or returns 0
  // because the other side has closed, or throws ("Unable to read from pipe", "Unable to write
  // to pipe", "Completed only %d of %d bytes"). Without it, a read returns what one message (or
  // what the stream has at hand) holds.
  virtual std::uint32_t read(void* buffer, std::uint32_t count, bool exact);
  virtual std::uint32_t write(const void* buffer, std::uint32_t count, bool exact);
  // Closes the handle; the pipe is closed from then on.
  virtual void close();

  // A write of one message that carries descriptors with it (SCM_RIGHTS), and the read that
  // takes them over. Same rules as read and write with exact set.
  std::uint32_t writeWithHandles(const void* buffer, std::uint32_t count,
                                 std::span<const os::NativeHandle> handles);
  std::uint32_t readWithHandles(void* buffer, std::uint32_t count, std::vector<os::Handle>& handles);

  os::NativeHandle handle() const { return handle_.get(); }
  bool valid() const { return handle_.valid(); }
  bool closed() const { return closed_; }

  // One transfer as the pipes move it: exact transfers on a byte pipe go on until every byte
  // moved; a message pipe moves one message.
  struct Transfer {
    bool write = false;
    char* data = nullptr;
    std::uint32_t count = 0;
    std::uint32_t done = 0;
    std::span<const os::NativeHandle> handlesOut;
    std::vector<os::Handle>* handlesIn = nullptr;
  };

protected:
  // Moves what can be moved now. Returns the code that stopped it: success (the transfer is
  // complete), ioPending (wait and call again), handleEof/brokenPipe/noData (the other side is
  // gone) or another failure.
  std::uint32_t advance(Transfer& transfer, bool exact) const;
  // Sets closed for the codes that mean the other side is gone; true when it did.
  bool closeOnEnd(std::uint32_t code);
  // Fails with "Completed only %d of %d bytes" when an exact transfer moved too little.
  static void checkExact(const Transfer& transfer, bool exact, const char* context);

  os::Handle handle_;
  bool closed_ = false;
  os::pipe::Kind kind_;

private:
  std::uint32_t transferSync(Transfer& transfer, bool exact);
};

class OverlappedPipe : public Pipe {
public:
  // Binds a new overlapped record to the handle.
  explicit OverlappedPipe(os::Handle handle);

  // Begin, then complete with no extra event and no time-out.
  std::uint32_t read(void* buffer, std::uint32_t count, bool exact) override;
  std::uint32_t write(const void* buffer, std::uint32_t count, bool exact) override;
  void close() override;

  // Starts an operation. Returns the bytes moved when it finished at once, or 0 when the pipe is
  // closed (or closes now) or the operation goes on (then not idle). Throws "Previous request
  // has not completed!" while another operation is in progress.
  std::uint32_t beginRead(void* buffer, std::uint32_t count, bool exact);
  std::uint32_t beginWrite(const void* buffer, std::uint32_t count, bool exact);
  // Waits for the operation in progress up to timeoutMs (os::INFINITE_WAIT: none), or until the
  // extra event (which serves reads) is signalled. Returns the bytes moved, or 0 when the
  // operation was abandoned (extra event, time-out) or the pipe closed. Throws "Previous request
  // has completed!" when idle.
  std::uint32_t complete(VSyncObject* extraEvent, std::uint32_t timeoutMs, bool exact);

  std::uint32_t pending() const { return pending_; }
  Overlapped& overlapped() { return overlapped_; }

protected:
  std::uint32_t begin(Transfer transfer, bool exact, const char* context);
  std::uint32_t internalComplete(bool exact);

  std::uint32_t pending_ = 0;
  Overlapped overlapped_;
  bool idle_ = true;
  Transfer transfer_;
};

class ClientOverlappedPipe : public OverlappedPipe {
public:
  using OverlappedPipe::OverlappedPipe;

  // Opens the client end of the named pipe, trying up to `tries` times (the product's
  // "PipeConnectTryCount" overrides it when present and not 0): 500 ms apart while nobody
  // listens, 50 ms apart while the pipe is busy. readMode picks the pipe kind. Throws the OS
  // error "Unable to connect to pipe <name>" with the last failure.
  static os::Handle create(std::u16string_view name, std::uint32_t readMode, std::uint32_t tries);
};

class ServerOverlappedPipe : public OverlappedPipe {
public:
  using OverlappedPipe::OverlappedPipe;
  void close() override { close(false); }
  void close(bool skipDisconnect);

  // Listens on the name; throws the OS error "Unable to create pipe <name>".
  static os::Handle create(std::u16string_view name, std::uint32_t readMode);
  // Waits for one client through the overlapped record (alertably, up to timeoutMs); false on a
  // time-out. Throws "Unable to connect pipe".
  bool connect(std::uint32_t timeoutMs);
};

// The number of connect tries in force: "PipeConnectTryCount" when present and not 0, else
// `tries`. The value is read on the first call and on every 16th after it.
std::uint32_t connectTryCount(std::uint32_t tries);

// The host path of a pipe name under the run directory; throws the OS error
// "Unable to connect to pipe <name>" for a name that cannot be one.
std::string pipePath(std::u16string_view name);

} // namespace Con
