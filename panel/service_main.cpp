#include "panel/service_main.h"

#include <algorithm>
#include <iostream>
#include <optional>

#include "os/environment.h"
#include "os/pipe.h"
#include "os/service_manager.h"
#include "os/stop_signal.h"
#include "os/text.h"
#include "runtime/core/exception.h"
#include "runtime/core/exclusive_task.h"
#include "runtime/core/registry.h"

namespace panel {

namespace {

struct Options {
  std::string runDirectory;
  std::string registry;
};

// A uid of the allow-list: decimal digits only, and not 4294967295 (no uid).
std::optional<std::uint32_t> parseUid(std::u16string_view text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::uint64_t uid = 0;
  for (char16_t unit : text) {
    if (unit < u'0' || unit > u'9') return std::nullopt;
    uid = uid * 10 + (unit - u'0');
  }
  if (uid > 0xFFFFFFFE) return std::nullopt;
  return static_cast<std::uint32_t>(uid);
}

bool takeValue(std::string_view argument, std::string_view option, std::string& value) {
  if (!argument.starts_with(option) || argument.size() <= option.size() || argument[option.size()] != '=') return false;
  value = argument.substr(option.size() + 1);
  return true;
}

// The pipe's name, held for the service's life: a second instance would put its socket over the
// first's, which would go on running unreachable. Nothing (logged) when it cannot be held.
std::optional<os::Handle> claimPipe(const std::string& path) {
  std::uint32_t holder = 0;
  os::Result<os::Handle> claim = os::pipe::claimName(path, holder);
  if (claim.ok()) return std::move(claim.value());
  if (claim.code() == os::err::lockViolation)
    logLine("another instance (pid " + std::to_string(holder) + ") already serves " + path + ": not starting");
  else
    logLine("cannot lock " + path + ".lock: " + os::utf8FromUtf16(osErrorMessage(claim.code())));
  return std::nullopt;
}

// The socket the service listens on: the one the service manager handed over, or one it makes.
struct Listener {
  os::Handle socket;
  std::optional<os::pipe::SocketFile> made; // the file the service made, which it removes when it stops
};

std::optional<Listener> listenOn(const std::string& path) {
  os::service_manager::HandedOverSocket handedOver = os::service_manager::handedOverSocket(path);
  if (!handedOver.fault.empty()) {
    logLine("cannot listen on " + path + ": " + handedOver.fault);
    return std::nullopt;
  }
  if (handedOver.socket) {
    logLine("listening on " + path + " (socket handed over by the service manager)");
    return Listener{std::move(handedOver.socket), std::nullopt};
  }
  os::pipe::SocketFile bound;
  os::Result<os::Handle> made = os::pipe::listen(path, os::pipe::Kind::Message, 0666, 128, &bound);
  if (!made.ok()) {
    logLine("cannot listen on " + path + ": " + os::utf8FromUtf16(osErrorMessage(made.code())));
    return std::nullopt;
  }
  logLine("listening on " + path + " (socket made by the service)");
  return Listener{std::move(made.value()), bound};
}

void tellServiceManager(std::uint32_t sent, const char* what) {
  if (sent != os::err::success)
    logLine(std::string("cannot tell the service manager ") + what + ": " + os::utf8FromUtf16(osErrorMessage(sent)));
}

int serve(const Options& options, const ServiceDefinition& service) {
  if (!options.registry.empty())
    if (os::setEnvironmentVariable("TAVRIX_REGISTRY", options.registry) != os::err::success) return 1;
  // A malformed allow-list is a start-up error rather than a silently different list.
  (void)allowedUids(service.allowListValue);
  os::Result<os::Handle> stop = os::openStopSignal();
  if (!stop.ok()) {
    logLine("cannot watch for SIGTERM: error " + std::to_string(stop.code()));
    return 1;
  }
  const std::string runDir = options.runDirectory.empty() ? runDirectory() : options.runDirectory;
  const std::u16string name = service.pipeName();
  os::Result<std::string> path = os::pipe::socketPath(runDir, name);
  if (!path.ok()) {
    logLine("invalid pipe name " + os::utf8FromUtf16(name));
    return 1;
  }
  // Held whether the socket is made here or handed over: a second instance must not serve the
  // same pipe beside this one.
  const std::optional<os::Handle> claim = claimPipe(path.value());
  if (!claim) return 1;
  std::optional<Listener> listener = listenOn(path.value());
  if (!listener) return 1;
  // A socket file left behind would make clients meet "connection refused" instead of "no
  // service". One the service manager made stays: it keeps queueing connections for the next start.
  struct SocketRemoval {
    const std::string& path;
    const std::optional<os::pipe::SocketFile>& made;
    ~SocketRemoval() {
      if (made) os::pipe::removeSocketFile(path, *made);
    }
  } removal{path.value(), listener->made};
  const std::u16string allowList(service.allowListValue);
  Server server(std::move(listener->socket), stop.value().get(), service.handler,
                [allowList] { return allowedUids(allowList); });
  tellServiceManager(os::service_manager::notifyReady(), "that it is ready");
  // The word goes out before the connections are ended, which may take a while.
  server.run([] { tellServiceManager(os::service_manager::notifyStopping(), "that it is stopping"); });
  logLine("stopped");
  return 0;
}

} // namespace

std::set<std::uint32_t> allowedUids(std::u16string_view valueName) {
  std::u16string list;
  std::set<std::uint32_t> uids;
  if (registry::lookup(registry::HKEY_LOCAL_MACHINE, u"SYSTEM\\Tavrix", valueName, list, registry::VIEW_64) !=
      os::err::success)
    return uids;
  auto malformed = [&](const std::u16string& why) {
    throw ArgumentException(std::u16string(valueName) + u" of HKLM\\SYSTEM\\Tavrix is \"" + list + u"\": " + why);
  };
  constexpr std::u16string_view blanks = u" \t";
  if (list.find_first_not_of(blanks) == list.npos) return uids;
  for (std::size_t start = 0; start <= list.size();) {
    const std::size_t comma = std::min(list.find(u',', start), list.size());
    const std::u16string_view element = std::u16string_view(list).substr(start, comma - start);
    if (element.find_first_not_of(blanks) == element.npos) malformed(u"an element is empty");
    for (std::size_t word = element.find_first_not_of(blanks); word != element.npos;
         word = element.find_first_not_of(blanks, word)) {
      const std::u16string_view text = element.substr(word, element.find_first_of(blanks, word) - word);
      const std::optional<std::uint32_t> uid = parseUid(text);
      if (!uid) malformed(u"\"" + std::u16string(text) + u"\" is not a uid");
      uids.insert(*uid);
      word += text.size();
    }
    start = comma + 1;
  }
  return uids;
}

int serviceMain(int argc, char** argv, const ServiceDefinition& service) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    if (takeValue(argument, "--run-directory", options.runDirectory) || takeValue(argument, "--registry", options.registry))
      continue;
    std::cerr << "usage: " << service.program << " [--run-directory=DIR] [--registry=FILE]\n";
    return 2;
  }
  try {
    return serve(options, service);
  } catch (const vexception& e) {
    logLine(os::utf8FromUtf16(e.fullText()));
    return 1;
  }
}

} // namespace panel
