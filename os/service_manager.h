// What a service takes from, and tells, the service manager that started it (systemd): the
// listening socket the manager made for it (socket activation), and that it is ready or
// stopping. A service started by hand finds no socket handed over and tells nobody.
#pragma once

#include <cstdint>
#include <string>

#include "os/handle.h"

namespace os::service_manager {

struct HandedOverSocket {
  Handle socket;     // the listening socket; invalid when none was handed over
  std::string fault; // why what was handed over cannot serve; empty when nothing is wrong
};

// The listening message socket (a Unix SOCK_SEQPACKET socket) that the service manager made for
// `path` and handed over, close-on-exec and non-blocking like every socket of os/pipe.h. Taking
// it removes the hand-over's variables from the environment, so that no program the service
// starts takes the socket for its own. A fault names what is wrong: more than one descriptor
// handed over, one that is not a listening Unix message socket, or one bound to another path.
HandedOverSocket handedOverSocket(const std::string& path);

// Tells the service manager that the service is ready (it accepts connections) or that it is
// stopping. Without a service manager waiting for word (no NOTIFY_SOCKET) nothing is sent and
// both succeed. Return the Win32 code of a failed send.
[[nodiscard]] std::uint32_t notifyReady();
[[nodiscard]] std::uint32_t notifyStopping();

} // namespace os::service_manager
