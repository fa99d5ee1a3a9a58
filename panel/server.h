// The connection handling of the panel services: each peer is checked (SO_PEERCRED) before a
// byte of its request is read, then served on a thread of its own by the service's connection
// handler, so that one slow or hostile client never stalls the others.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <set>
#include <string>
#include <thread>

#include "os/handle.h"
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

  // Serves until the stop descriptor becomes readable; then ends every connection and returns.
  void run();

private:
  struct Connection {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void accept();
  bool permitted(os::NativeHandle connection);
  void serve(os::Handle connection);
  // Ends finished connection threads.
  void reap();

  os::Handle listener_;
  os::NativeHandle stop_;
  ConnectionHandler handler_;
  AllowedUids allowed_;
  ServerLimits limits_;
  RefusalLog refusals_;
  std::list<Connection> connections_;
};

// Writes one line to standard error (the service's log), whole even when threads write at once.
void logLine(const std::string& line);

} // namespace panel
