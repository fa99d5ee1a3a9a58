#include "panel/server.h"

#include <iostream>
#include <optional>
#include <string>

#include "os/pipe.h"
#include "os/sync.h"
#include "runtime/core/exception.h"
#include "service/protocol.h"
#include "service/serializer.h"

namespace panel {

namespace {

std::mutex logMutex;

// Why a connection ends early.
struct Drop {
  const char* reason;
};

std::uint32_t fromLittleEndian(const std::uint8_t* b) {
  return b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

// One connection's messages, each waited for with a bound and the stop request in view.
class Channel {
public:
  Channel(os::NativeHandle connection, os::NativeHandle stop) : connection_(connection), stop_(stop) {}

  // One whole message of at most `limit` bytes; an empty optional when the peer is gone.
  std::optional<std::vector<std::uint8_t>> receive(std::size_t limit, std::uint32_t timeoutMs) {
    const os::NativeHandle watched[2] = {connection_, stop_};
    os::Result<std::uint32_t> ready = os::pipe::waitReadable(watched, timeoutMs);
    if (!ready.ok()) throw Drop{"wait failed"};
    if (ready.value() == os::WAIT_TIMEOUT) throw Drop{"timed out"};
    if (ready.value() != os::WAIT_OBJECT_0) throw Drop{"stopping"};
    // One byte more than allowed tells a longer message from one of the right size.
    std::vector<std::uint8_t> message(limit + 1);
    os::Result<std::size_t> got = os::pipe::receive(connection_, message.data(), message.size());
    if (!got.ok()) {
      if (got.code() == os::err::handleEof || got.code() == os::err::brokenPipe) return std::nullopt;
      throw Drop{got.code() == os::err::moreData ? "message too long" : "receive failed"};
    }
    if (got.value() > limit) throw Drop{"message too long"};
    message.resize(got.value());
    return message;
  }

  void send(std::span<const std::uint8_t> message, std::uint32_t timeoutMs) {
    for (;;) {
      os::Result<std::size_t> sent = os::pipe::send(connection_, message.data(), message.size());
      if (sent.ok()) return;
      if (sent.code() != os::pipe::ioPending) throw Drop{"send failed"};
      // A peer that does not read its replies is not waited for long.
      os::Result<std::uint32_t> ready = os::pipe::waitReady(connection_, os::pipe::Direction::Write, timeoutMs, false);
      if (!ready.ok() || ready.value() != os::WAIT_OBJECT_0) throw Drop{"peer does not read"};
    }
  }

  void reply(std::span<const std::uint8_t> body, std::uint32_t timeoutMs) {
    const auto size = static_cast<std::uint32_t>(body.size());
    const std::uint8_t count[4] = {static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
                                   static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 24)};
    send(count, timeoutMs);
    if (size != 0) send(body, timeoutMs);
  }

private:
  os::NativeHandle connection_;
  os::NativeHandle stop_;
};

std::vector<std::uint8_t> errorReply(std::u16string_view message) {
  vserializer::buffer reply;
  reply.writeError(message);
  return reply.data();
}

} // namespace

void logLine(const std::string& line) {
  std::lock_guard lock(logMutex);
  std::cerr << line << '\n' << std::flush;
}

Server::Server(os::Handle listener, os::NativeHandle stop, Handler handler, AllowedUids allowed, ServerLimits limits)
    : listener_(std::move(listener)), stop_(stop), handler_(std::move(handler)), allowed_(std::move(allowed)),
      limits_(limits) {}

Server::~Server() {
  for (Connection& connection : connections_) connection.thread.join();
}

void Server::run() {
  const os::NativeHandle watched[2] = {listener_.get(), stop_};
  for (;;) {
    // Wakes now and then to end the threads of finished connections.
    os::Result<std::uint32_t> ready = os::pipe::waitReadable(watched, 1000);
    if (!ready.ok()) {
      logLine("wait for clients failed: error " + std::to_string(ready.code()));
      break;
    }
    reap();
    if (ready.value() == os::WAIT_OBJECT_0 + 1) break;
    if (ready.value() == os::WAIT_OBJECT_0) accept();
  }
  // The stop request is readable for every connection thread too: each ends at its next wait.
  for (Connection& connection : connections_) connection.thread.join();
  connections_.clear();
}

void Server::accept() {
  os::Result<os::Handle> connection = os::pipe::accept(listener_.get());
  if (!connection.ok()) return; // gone before it was taken, or out of descriptors for now
  if (!permitted(connection.value().get())) return;
  if (connections_.size() >= limits_.maxConnections) {
    logLine("connection refused: too many clients");
    return;
  }
  Connection& slot = connections_.emplace_back();
  slot.thread = std::thread([this, &slot, handle = std::move(connection.value())]() mutable {
    serve(std::move(handle));
    slot.done = true;
  });
}

bool Server::permitted(os::NativeHandle connection) {
  os::Result<os::pipe::PeerCredentials> peer = os::pipe::peerCredentials(connection);
  if (!peer.ok()) return false;
  if (peer.value().uid == 0) return true;
  try {
    if (allowed_().contains(peer.value().uid)) return true;
  } catch (const std::exception&) {
    // An unreadable allow-list allows no one but root.
  } catch (const vexception&) {
  }
  logLine("connection refused: uid " + std::to_string(peer.value().uid) + " (pid " + std::to_string(peer.value().pid) +
          ") is not allowed");
  return false;
}

void Server::reap() {
  connections_.remove_if([](Connection& connection) {
    if (!connection.done) return false;
    connection.thread.join();
    return true;
  });
}

void Server::serve(os::Handle connection) {
  Channel channel(connection.get(), stop_);
  try {
    for (;;) {
      std::optional<std::vector<std::uint8_t>> count = channel.receive(4, limits_.idleMs);
      if (!count) return;
      if (count->size() != 4) throw Drop{"malformed byte count"};
      const std::uint32_t size = fromLittleEndian(count->data());
      if (size > kelvosrv::maxMessage) {
        channel.reply(errorReply(u"The request is too long"), limits_.requestMs);
        throw Drop{"request too long"};
      }
      std::vector<std::uint8_t> request;
      if (size != 0) {
        std::optional<std::vector<std::uint8_t>> body = channel.receive(size, limits_.requestMs);
        if (!body) return;
        if (body->size() != size) {
          channel.reply(errorReply(u"The request does not have the announced size"), limits_.requestMs);
          throw Drop{"request of the wrong size"};
        }
        request = std::move(*body);
      }
      channel.reply(handler_(request), limits_.requestMs);
    }
  } catch (const Drop& drop) {
    if (std::string_view(drop.reason) != "stopping") logLine(std::string("connection closed: ") + drop.reason);
  }
}

} // namespace panel
