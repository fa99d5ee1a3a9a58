#include "panel/server.h"

#include <iostream>
#include <mutex>
#include <string>

#include "os/pipe.h"
#include "os/sync.h"
#include "runtime/core/exception.h"

namespace panel {

namespace {

std::mutex logMutex;

} // namespace

void logLine(const std::string& line) {
  std::lock_guard lock(logMutex);
  std::cerr << line << '\n' << std::flush;
}

Server::Server(os::Handle listener, os::NativeHandle stop, ConnectionHandler handler, AllowedUids allowed, ServerLimits limits)
    : listener_(std::move(listener)), stop_(stop), handler_(std::move(handler)), allowed_(std::move(allowed)),
      limits_(limits) {}

Server::~Server() {
  for (Connection& connection : connections_) connection.thread.join();
}

void Server::run() {
  const os::NativeHandle watched[2] = {listener_.get(), stop_};
  for (;;) {
    // Wakes now and then to end the threads of finished connections and report refusals.
    os::Result<std::uint32_t> ready = os::pipe::waitReadable(watched, 1000);
    if (!ready.ok()) {
      logLine("wait for clients failed: error " + std::to_string(ready.code()));
      break;
    }
    reap();
    refusals_.report();
    if (ready.value() == os::WAIT_OBJECT_0 + 1) break;
    if (ready.value() == os::WAIT_OBJECT_0) accept();
  }
  refusals_.report(true);
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
  refusals_.refused(peer.value().uid, peer.value().pid);
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
  Channel channel(connection.get(), stop_, limits_);
  try {
    handler_(channel);
  } catch (const Drop& drop) {
    if (std::string_view(drop.reason) != "stopping") logLine(std::string("connection closed: ") + drop.reason);
  }
}

} // namespace panel
