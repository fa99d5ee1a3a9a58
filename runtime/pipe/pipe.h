// The Con:: pipe classes: the client end of a message pipe, with blocking, all-or-nothing reads
// and writes and a clear notion of the other side having gone.
//
// On this host a pipe is a Unix domain socket under `<run directory>/pipe/` (os/pipe.h) that
// moves one message per write; a read must take a whole message. Handles are non-blocking
// descriptors; reads and writes wait through the pipe's Overlapped record, alertably and as
// cancellation points, so that a wait can be abandoned.
//
// The closed-pipe rules: once the other side has gone (end of data, broken pipe), `closed` is set
// and every read and write returns 0 without touching the handle.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "os/handle.h"
#include "runtime/pipe/overlapped.h"

namespace Con {

class Pipe {
public:
  explicit Pipe(os::Handle handle);
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  virtual ~Pipe() = default;

  // With exact set, a read or write moves exactly count bytes and returns count, or returns 0
  // because the other side has closed, or throws ("Unable to read from pipe", "Unable to write
  // to pipe", "Completed only %d of %d bytes"). Without it, a read returns what one message holds.
  virtual std::uint32_t read(void* buffer, std::uint32_t count, bool exact) = 0;
  virtual std::uint32_t write(const void* buffer, std::uint32_t count, bool exact) = 0;

  // A write of one message that carries descriptors with it (SCM_RIGHTS), and the read that
  // takes them over. Same rules as read and write with exact set.
  std::uint32_t writeWithHandles(const void* buffer, std::uint32_t count,
                                 std::span<const os::NativeHandle> handles);
  std::uint32_t readWithHandles(void* buffer, std::uint32_t count, std::vector<os::Handle>& handles);

  bool valid() const { return handle_.valid(); }
  bool closed() const { return closed_; }

  // One transfer: one message, with the descriptors it carries.
  struct Transfer {
    bool write = false;
    char* data = nullptr;
    std::uint32_t count = 0;
    std::uint32_t done = 0;
    std::span<const os::NativeHandle> handlesOut;
    std::vector<os::Handle>* handlesIn = nullptr;
  };

protected:
  // Moves the message if it can move now. Returns the code that stopped it: success (the
  // transfer is complete), ioPending (wait and call again), handleEof/brokenPipe/noData (the
  // other side is gone) or another failure.
  std::uint32_t advance(Transfer& transfer) const;
  // Sets closed for the codes that mean the other side is gone; true when it did.
  bool closeOnEnd(std::uint32_t code);
  // Fails with "Completed only %d of %d bytes" when an exact transfer moved too little.
  static void checkExact(const Transfer& transfer, bool exact, const char* context);

  os::Handle handle_;
  bool closed_ = false;

private:
  std::uint32_t transferSync(Transfer& transfer);
};

class OverlappedPipe : public Pipe {
public:
  // Binds a new overlapped record to the handle.
  explicit OverlappedPipe(os::Handle handle);

  // Throw "Previous request has not completed!" once a transfer's wait was abandoned by
  // cancellation (its message would reach the next exchange), or "Unable to complete pipe
  // operation" when a wait fails.
  std::uint32_t read(void* buffer, std::uint32_t count, bool exact) override;
  std::uint32_t write(const void* buffer, std::uint32_t count, bool exact) override;

private:
  std::uint32_t transfer(Transfer transfer, bool exact, const char* context);
  // Waits until the pending transfer can go on and moves it; the code that stopped it.
  std::uint32_t complete(Transfer& transfer);

  RunTime::Overlapped overlapped_;
  bool idle_ = true;
};

class ClientOverlappedPipe : public OverlappedPipe {
public:
  using OverlappedPipe::OverlappedPipe;

  // Opens the client end of the named message pipe, trying up to `tries` times (the product's
  // "PipeConnectTryCount" overrides it when present and not 0; it is read on the first call and
  // on every 16th after it): 500 ms apart while nobody listens, 50 ms apart while the pipe is
  // busy. Throws the OS error "Unable to connect to pipe <name>" with the last failure (or for
  // a name that cannot be a pipe's).
  static os::Handle create(std::u16string_view name, std::uint32_t tries);
};

} // namespace Con
