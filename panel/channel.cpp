#include "panel/channel.h"

#include <algorithm>

#include "os/pipe.h"
#include "os/sync.h"
#include "runtime/core/exception.h"

namespace panel {

namespace {

// The peer has closed its end: the connection is over, not broken.
bool peerGone(std::uint32_t code) { return code == os::err::handleEof || code == os::err::brokenPipe; }

} // namespace

std::optional<std::vector<std::uint8_t>> Channel::receive(std::size_t limit, bool betweenRequests,
                                                          std::vector<os::Handle>* handles) {
  const os::NativeHandle watched[2] = {connection_, stop_};
  os::Result<std::uint32_t> ready = os::pipe::waitReadable(watched, betweenRequests ? limits_.idleMs : limits_.requestMs);
  if (!ready.ok()) throw Drop{"wait failed"};
  if (ready.value() == os::WAIT_TIMEOUT) throw Drop{"timed out"};
  if (ready.value() != os::WAIT_OBJECT_0) throw Drop{"stopping"};
  // The message's length first, so that only what it needs is allocated.
  os::Result<std::size_t> size = os::pipe::nextMessageSize(connection_);
  if (!size.ok()) {
    if (peerGone(size.code())) return std::nullopt;
    throw Drop{"receive failed"};
  }
  if (size.value() > limit) throw Drop{"message too long"};
  // An empty message takes a byte of room, so that the end of the connection shows as such.
  std::vector<std::uint8_t> message(std::max<std::size_t>(size.value(), 1));
  std::vector<os::Handle> received;
  os::Result<std::size_t> got = os::pipe::receiveWithHandles(connection_, message.data(), message.size(), received);
  if (!got.ok()) {
    if (peerGone(got.code())) return std::nullopt;
    if (got.code() == os::err::tooManyOpenFiles)
      throw vexception(u"The service is out of descriptors: it cannot take the descriptors sent with the request",
                       VCONTEXT("panel::Channel::receive"));
    throw Drop{got.code() == os::err::moreData ? "message too long" : "receive failed"};
  }
  message.resize(got.value());
  if (handles)
    for (os::Handle& handle : received) handles->push_back(std::move(handle));
  return message;
}

void Channel::send(std::span<const std::uint8_t> message, std::span<const os::NativeHandle> handles) {
  for (;;) {
    os::Result<std::size_t> sent = os::pipe::sendWithHandles(connection_, message.data(), message.size(), handles);
    if (sent.ok()) return;
    if (sent.code() != os::pipe::ioPending) throw Drop{"send failed"};
    // A peer that does not read its replies is not waited for long.
    os::Result<std::uint32_t> ready =
        os::pipe::waitReady(connection_, os::pipe::Direction::Write, limits_.requestMs, false);
    if (!ready.ok() || ready.value() != os::WAIT_OBJECT_0) throw Drop{"peer does not read"};
  }
}

std::vector<std::uint8_t> littleEndian(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

std::uint32_t fromLittleEndian(const std::uint8_t* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

} // namespace panel
