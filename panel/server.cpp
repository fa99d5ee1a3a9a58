#include "panel/server.h"

#include <algorithm>
#include <iostream>
#include <span>
#include <system_error>
#include <mutex>
#include <string>

#include "os/pipe.h"
#include "os/sync.h"
#include "os/text.h"
#include "runtime/core/exception.h"

namespace panel {

namespace {

std::mutex logMutex;

// How long a listener is left alone when a connection cannot be taken.
constexpr std::uint32_t kPauseMs = 100;

} // namespace

void logLine(const std::string& line) {
  std::lock_guard lock(logMutex);
  std::cerr << line << '\n' << std::flush;
}

Server::Server(os::Handle listener, os::NativeHandle stop, ConnectionHandler handler, AllowedUids allowed, ServerLimits limits)
    : listener_(std::move(listener)), stop_(stop), handler_(std::move(handler)), allowed_(std::move(allowed)),
      limits_(limits) {
  os::Result<os::Handle> reserve = os::pipe::reserveDescriptor();
  if (reserve.ok()) reserve_ = std::move(reserve.value());
}

Server::~Server() {
  for (Connection& connection : connections_) connection.thread.join();
}

void Server::run(const std::function<void()>& stopping) {
  const os::NativeHandle watched[2] = {stop_, listener_.get()};
  bool listening = true;
  for (;;) {
    // Wakes now and then to end the threads of finished connections and report refusals; a
    // listener left alone is tried again after a short pause.
    os::Result<std::uint32_t> ready =
        os::pipe::waitReadable(std::span(watched, listening ? 2 : 1), listening ? 1000 : kPauseMs);
    if (!ready.ok()) {
      logLine("wait for clients failed: error " + std::to_string(ready.code()));
      break;
    }
    reap();
    refusals_.report();
    if (ready.value() == os::WAIT_OBJECT_0) {
      if (stopping) stopping();
      break;
    }
    listening = ready.value() != os::WAIT_OBJECT_0 + 1 || accept();
  }
  recovered();
  refusals_.report(true);
  // The stop request is readable for every connection thread too: each ends at its next wait.
  for (Connection& connection : connections_) connection.thread.join();
  connections_.clear();
}

bool Server::accept() {
  if (!reserve_) {
    os::Result<os::Handle> reserve = os::pipe::reserveDescriptor();
    if (reserve.ok()) reserve_ = std::move(reserve.value());
  }
  os::Result<os::Handle> connection = os::pipe::accept(listener_.get());
  if (!connection.ok()) {
    if (connection.code() == os::err::tooManyOpenFiles) return refuseForWantOfDescriptors();
    // Gone before it was taken; any other failure (out of memory) is not tried again at once.
    return connection.code() == os::pipe::ioPending;
  }
  recovered();
  std::optional<os::pipe::PeerCredentials> peer = permittedPeer(connection.value().get());
  if (!peer) return true;
  if (std::optional<Refusal> why = overLimit(peer->uid)) {
    refusals_.refused(*why, peer->uid, peer->pid);
    return true;
  }
  Connection& slot = connections_.emplace_back();
  slot.uid = peer->uid;
  try {
    slot.thread = std::thread([this, &slot, handle = std::move(connection.value())]() mutable {
      serve(std::move(handle));
      slot.done = true;
    });
  } catch (const std::system_error&) {
    // The connection went with the thread's function: the peer sees its end.
    connections_.pop_back();
    refusals_.refused(Refusal::NoThread, peer->uid, peer->pid);
  }
  return true;
}

bool Server::refuseForWantOfDescriptors() {
  exhausted();
  if (!reserve_) return false;
  reserve_.reset();
  // Closed at once: the client sees its end rather than waiting in the backlog.
  if (os::pipe::accept(listener_.get()).ok()) ++refusedWhileExhausted_;
  os::Result<os::Handle> reserve = os::pipe::reserveDescriptor();
  if (reserve.ok()) reserve_ = std::move(reserve.value());
  return reserve_.valid();
}

void Server::exhausted() {
  if (exhausted_) return;
  exhausted_ = true;
  refusedWhileExhausted_ = 0;
  logLine("out of descriptors: refusing connections");
}

void Server::recovered() {
  if (!exhausted_) return;
  exhausted_ = false;
  logLine("descriptors available again: " + std::to_string(refusedWhileExhausted_) +
          " connections refused while out of them");
}

std::optional<os::pipe::PeerCredentials> Server::permittedPeer(os::NativeHandle connection) {
  os::Result<os::pipe::PeerCredentials> peer = os::pipe::peerCredentials(connection);
  if (!peer.ok()) return std::nullopt;
  if (peer.value().uid == 0) return peer.value();
  try {
    if (allowed_().contains(peer.value().uid)) return peer.value();
  } catch (const std::exception&) {
    // An unreadable allow-list allows no one but root.
  } catch (const vexception&) {
  }
  refusals_.refused(Refusal::NotAllowed, peer.value().uid, peer.value().pid);
  return std::nullopt;
}

std::optional<Refusal> Server::overLimit(std::uint32_t uid) const {
  if (connections_.size() >= limits_.maxConnections) return Refusal::ServerFull;
  if (uid == 0) return std::nullopt;
  const auto held = std::ranges::count_if(connections_, [uid](const Connection& c) { return c.uid == uid && !c.done; });
  if (static_cast<std::size_t>(held) >= limits_.maxConnectionsPerPeer) return Refusal::PeerLimit;
  return std::nullopt;
}

void Server::reap() {
  connections_.remove_if([](Connection& connection) {
    if (!connection.done) return false;
    connection.thread.join();
    return true;
  });
}

void Server::serve(os::Handle connection) {
  Channel channel(connection.get(), stop_, limits_);
  try {
    handler_(channel);
  } catch (const Drop& drop) {
    if (std::string_view(drop.reason) != "stopping") logLine(std::string("connection closed: ") + drop.reason);
  } catch (const vexception& e) {
    logLine("connection closed: " + os::utf8FromUtf16(e.message()));
  } catch (const std::exception& e) {
    logLine(std::string("connection closed: ") + e.what());
  }
}

} // namespace panel
