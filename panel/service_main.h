// What the panel services share around their connection handling: the command line
// ([--run-directory=DIR] [--registry=FILE]), the stop request, the listening socket and the
// peer allow-list.
//
// --registry names the registry store (as TAVRIX_REGISTRY does); --run-directory overrides the
// store's "RunDirectory". The socket is <run directory>/pipe/<pipe name>, mode 0666: any local
// process may connect, and only root and the uids listed in the service's allow-list value of
// HKLM\SYSTEM\Tavrix are served. One instance serves a pipe: it holds a lock on
// <run directory>/pipe/<pipe name>.lock, which holds its pid, and a second exits at once. A service
// runs in the foreground, logs to standard error and stops on SIGTERM or SIGINT, removing its
// socket file. Started by systemd through its socket unit, it serves on the socket handed over
// (which must be bound to that same path) and leaves it in place when it stops, so that
// connections queue there until the next start; it tells systemd when it is ready and when it
// stops.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>

#include "panel/server.h"

namespace panel {

struct ServiceDefinition {
  const char* program;                       // the executable's name, for the usage line
  std::function<std::u16string()> pipeName;  // asked once the registry option is in force
  std::u16string_view allowListValue;        // the REG_SZ value listing the permitted uids
  Server::ConnectionHandler handler;
};

// Runs the service; returns the process exit code (2 for a wrong command line, 1 when the
// service cannot start).
int serviceMain(int argc, char** argv, const ServiceDefinition& service);

// The uids in the allow-list value of HKLM\SYSTEM\Tavrix: decimal numbers separated by commas
// or blanks. Empty when the value is missing or blank; anything else (a letter, a sign, an empty
// element between commas, a number too large for a uid) throws ArgumentException naming the
// value, which stops a service at start-up.
std::set<std::uint32_t> allowedUids(std::u16string_view valueName);

} // namespace panel
