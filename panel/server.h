// The connection handling of the panel services: each peer is checked (SO_PEERCRED) before a
// byte of its request is read, then served on a thread of its own by the service's connection
// handler, so that one slow or hostile client never stalls the others. Connections are bounded
// in all and per peer account; a service out of descriptors refuses connections rather than
// leaving them pending on a listener that then never stops being readable.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "os/handle.h"
#include "os/pipe.h"
#include "panel/channel.h"
#include "panel/refusal_log.h"

namespace panel {

class Server {
public:
  // Serves one permitted connection until the peer leaves; may end it by throwing Drop.
  using ConnectionHandler = std::function<void(Channel&)>;
  // Which peers may talk: root always, and the uids this returns (asked at each connection).
  using AllowedUids = std::function<std::set<std::uint32_t>()>;

  Server(os::Handle listener, os::NativeHandle stop, ConnectionHandler handler, AllowedUids allowed,
         ServerLimits limits = {});
  ~Server();

  // Serves until the stop descriptor becomes readable; then calls `stopping` (when given) and
  // ends every connection, and returns.
  void run(const std::function<void()>& stopping = {});

private:
  struct Connection {
    std::thread thread;
    std::uint32_t uid = 0;
    std::atomic<bool> done{false};
  };

  // Takes the pending connection; false when the listener is to be left alone for a while
  // (out of descriptors with no reserve to refuse with, or another lasting failure).
  bool accept();
  // Refuses the pending connection while the service is out of descriptors: the reserve is
  // closed to accept it, it is closed at once and the reserve taken again. False when no
  // reserve could be had.
  bool refuseForWantOfDescriptors();
  // The peer, when its account may talk to the service.
  std::optional<os::pipe::PeerCredentials> permittedPeer(os::NativeHandle connection);
  // Why a permitted peer is turned away, if it is.
  std::optional<Refusal> overLimit(std::uint32_t uid) const;
  void serve(os::Handle connection);
  // Ends finished connection threads.
  void reap();
  // One line when the service runs out of descriptors and one, with the count refused, when
  // it has them again.
  void exhausted();
  void recovered();

  os::Handle listener_;
  os::NativeHandle stop_;
  ConnectionHandler handler_;
  AllowedUids allowed_;
  ServerLimits limits_;
  RefusalLog refusals_;
  std::list<Connection> connections_;
  os::Handle reserve_;
  bool exhausted_ = false;
  std::uint64_t refusedWhileExhausted_ = 0;
};

// Writes one line to standard error (the service's log), whole even when threads write at once.
void logLine(const std::string& line);

} // namespace panel
