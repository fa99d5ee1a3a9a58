#include "runtime/process/pipe_client.h"

#include <memory>

#include "runtime/core/exception.h"
#include "runtime/core/guard.h"
#include "runtime/pipe/pipe.h"
#include "runtime/process/impersonation_wire.h"

namespace RunTime {

namespace {

constexpr std::uint32_t kConnectTries = 10;
// A raw write that keeps meeting a closed pipe gives up after this many reconnections.
constexpr int kMaxReconnects = 10;

// The process-wide connection; every client reads and writes through it under the request lock.
std::unique_ptr<Con::ClientOverlappedPipe> connection;

[[noreturn]] void connectionClosed() {
  throw vexception(u"The impersonation service closed the connection", VCONTEXT("RunTime::PipeClient::readMessage"));
}

void writeWord(std::uint32_t value) { (void)connection->write(impersonation::encodeWord(value).data(), 4, true); }

std::uint32_t readWord() {
  std::array<std::uint8_t, 4> bytes;
  if (connection->read(bytes.data(), 4, true) == 0) connectionClosed();
  return impersonation::decodeWord(bytes);
}

} // namespace

std::mutex& PipeClient::requestLock() {
  static std::mutex lock;
  return lock;
}

void PipeClient::connect(std::uint32_t tries) {
  if (connection && connection->valid()) return;
  try {
    connection = std::make_unique<Con::ClientOverlappedPipe>(
        Con::ClientOverlappedPipe::create(impersonation::pipeName(), tries));
  } catch (vexception& e) {
    // The pipe's name and socket do not tell an operator which service is missing.
    e.addContext(ExceptionContext(u"Unable to reach Kelvo impersonation service", "RunTime::PipeClient::connect", __LINE__));
    throw;
  }
}

void PipeClient::disconnect() { connection.reset(); }

void PipeClient::beginRequest(std::uint32_t value) {
  connect(kConnectTries);
  const auto word = impersonation::encodeWord(value);
  rawWrite(word.data(), 4);
}

void PipeClient::rawWrite(const void* data, std::uint32_t count) {
  for (int reconnects = 0; connection->write(data, count, true) == 0; ++reconnects) {
    if (reconnects == kMaxReconnects)
      throw vexception(u"The impersonation service keeps closing the connection", VCONTEXT("RunTime::PipeClient::rawWrite"));
    disconnect();
    connect(kConnectTries);
  }
}

void PipeClient::writeBlock(std::span<const std::uint8_t> bytes, std::span<const os::NativeHandle> handles) {
  writeWord(static_cast<std::uint32_t>(bytes.size()));
  if (!bytes.empty()) (void)connection->writeWithHandles(bytes.data(), static_cast<std::uint32_t>(bytes.size()), handles);
}

void PipeClient::writeString(std::u16string_view text) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t unit : text) {
    bytes.push_back(static_cast<std::uint8_t>(unit));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  writeBlock(bytes);
}

void PipeClient::writeFlag(bool value) {
  writeWord(4);
  writeWord(value ? 1 : 0);
}

std::u16string PipeClient::readMessage(std::vector<os::Handle>* handles) {
  return guarded("RunTime::PipeClient::readMessage", __LINE__, [] { return std::u16string(u"Unable to call readMessage()"); },
                 [&] {
                   if (!connection) connectionClosed();
                   const std::uint32_t status = readWord();
                   const std::uint32_t count = readWord();
                   impersonation::checkReplyCount(status, count);
                   std::vector<std::uint8_t> payload(count);
                   std::vector<os::Handle> received;
                   if (count != 0 && connection->readWithHandles(payload.data(), count, received) == 0) connectionClosed();
                   std::u16string text = impersonation::replyText(status, payload);
                   if (handles)
                     for (os::Handle& handle : received) handles->push_back(std::move(handle));
                   return text;
                 });
}

void PipeClient::acknowledge() { (void)readMessage(); }

} // namespace RunTime
