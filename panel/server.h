// The management service's connection handling: each peer is checked (SO_PEERCRED) before a
// byte of its request is read, then served on a thread of its own, so that one slow or hostile
// client never stalls the others.
//
// Framing on the message pipe: a 4-byte message with the request's byte count, then the request
// as one message; the reply goes back the same way. A count over 1 MiB gets an error reply and
// the connection is closed; a count message of another size, a request whose size differs from
// its count, or a peer that sends nothing for a while (idle 60 s, 5 s inside a request) is closed.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <set>
#include <span>
#include <thread>
#include <vector>

#include "os/handle.h"

namespace panel {

struct ServerLimits {
  std::uint32_t idleMs = 60000;
  std::uint32_t requestMs = 5000;
  std::size_t maxConnections = 256;
};

class Server {
public:
  using Handler = std::function<std::vector<std::uint8_t>(std::span<const std::uint8_t>)>;
  // Which peers may talk: root always, and the uids this returns (asked at each connection).
  using AllowedUids = std::function<std::set<std::uint32_t>()>;

  Server(os::Handle listener, os::NativeHandle stop, Handler handler, AllowedUids allowed, ServerLimits limits = {});
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
  Handler handler_;
  AllowedUids allowed_;
  ServerLimits limits_;
  std::list<Connection> connections_;
};

// Writes one line to standard error (the service's log), whole even when threads write at once.
void logLine(const std::string& line);

} // namespace panel
