// The message layer of the impersonation service's clients: one connection for the whole
// process, opened on first use and kept for the next request, and the items of the wire format
// (runtime/process/impersonation_wire.h) written and read on it.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "os/handle.h"

namespace RunTime {

class PipeClient {
public:
  virtual ~PipeClient() = default;

  // Opens the connection unless one is open: the impersonation pipe, message read mode, up to
  // `tries` connect tries. Throws the OS error "Unable to connect to pipe <name>", whose contexts
  // name the socket's host path and the service.
  void connect(std::uint32_t tries);
  // Closes the connection; the next request opens a new one.
  void disconnect();
  // connect(10), then the word as a raw write.
  void beginRequest(std::uint32_t value);
  // Writes the bytes; while the pipe reports the other side closed, reconnects and writes again
  // (at most 10 times, then throws vexception "The impersonation service keeps closing the
  // connection").
  void rawWrite(const void* data, std::uint32_t count);
  // The byte count, then the bytes (descriptors travel with them when given). A connection lost
  // here is not reconnected: it surfaces when the next reply is read.
  void writeBlock(std::span<const std::uint8_t> bytes, std::span<const os::NativeHandle> handles = {});
  void writeString(std::u16string_view text);
  void writeFlag(bool value);
  // Reads one reply and returns its text (see impersonation::replyText); descriptors that travel
  // with its payload are appended to `handles` when given, and closed otherwise. A connection
  // that ends inside the reply throws vexception "The impersonation service closed the
  // connection".
  std::u16string readMessage(std::vector<os::Handle>* handles = nullptr);
  // readMessage, its text discarded.
  void acknowledge();

  // Serialises the writing of requests over the one connection, from every thread.
  static std::mutex& requestLock();
};

} // namespace RunTime
