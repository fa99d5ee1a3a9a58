#include "os/path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "os/path_grammar.h"
#include "os/posix/beneath.h"
#include "os/posix/errno_map.h"
#include "os/registry.h"
#include "os/text.h"

namespace os {
namespace {

constexpr std::u16string_view kDosDevices = u"SYSTEM\\Tavrix\\DosDevices";

// A mapped directory as a prefix of host paths: no trailing "/" ("" for the root directory).
std::string directoryPrefix(std::u16string_view directory) {
  std::string dir = utf8FromUtf16(directory);
  while (!dir.empty() && dir.back() == '/') dir.pop_back();
  return dir;
}

// The directory prefix that a drive letter maps to.
Result<std::string> driveDirectory(char16_t letter) {
  Result<registry::KeyHandle> key =
      registry::openKey(registry::Root::LocalMachine, kDosDevices, registry::KEY_QUERY_VALUE);
  Result<registry::Value> value =
      key.ok() ? registry::queryValue(key.value(), std::u16string{letter, u':'})
               : Result<registry::Value>(key.error());
  if (!value.ok())
    return value.code() == err::fileNotFound ? Result<std::string>::failure(err::pathNotFound)
                                             : Result<std::string>(value.error());
  std::optional<std::u16string> directory = registry::stringOf(value.value());
  if (!directory) return Result<std::string>::failure(err::pathNotFound);
  return directoryPrefix(*directory);
}

struct Mapping {
  char16_t drive;
  std::string prefix;
};

// Every drive mapping of the store, in stored order; none when the store cannot be read.
std::vector<Mapping> driveMappings() {
  std::vector<Mapping> mappings;
  Result<registry::KeyHandle> key =
      registry::openKey(registry::Root::LocalMachine, kDosDevices, registry::KEY_QUERY_VALUE);
  if (!key.ok()) return mappings;
  for (std::uint32_t i = 0;; ++i) {
    Result<registry::Value> value = registry::enumValue(key.value(), i);
    if (!value.ok()) break;
    const std::u16string& name = value.value().name;
    std::optional<std::u16string> directory = registry::stringOf(value.value());
    if (name.size() == 2 && grammar::isDriveLetter(name[0]) && name[1] == u':' && directory)
      mappings.push_back({toUpper(name[0]), directoryPrefix(*directory)});
  }
  return mappings;
}

bool isBelow(std::string_view path, std::string_view prefix) {
  return path.starts_with(prefix) && (path.size() == prefix.size() || path[prefix.size()] == '/');
}

std::string hostSeparators(std::u16string_view path) {
  std::string host = utf8FromUtf16(path);
  for (char& c : host)
    if (c == '\\') c = '/';
  return host;
}

// What follows "X:" as a host path below the drive's directory: "." and ".." resolved by their
// text and never above the drive's directory, whatever the spelling ("C:..\x", "C:\..\x").
// Resolving by text is what keeps the clamp: the kernel would let a link lead ".." elsewhere.
std::string belowDrive(std::u16string_view rest) {
  std::string below;
  using grammar::Above;
  for (std::u16string_view name : grammar::resolveDots(grammar::components(rest), Above::clamp))
    below += "/" + utf8FromUtf16(name);
  if (!below.empty() && !rest.empty() && grammar::isSeparator(rest.back())) below += '/';
  return below;
}

} // namespace

Result<std::string> hostPath(std::u16string_view path) {
  path = grammar::withoutLongPrefix(path);
  // Network paths ("\\server\share", "\\?\UNC\...") have no place on this host.
  if (grammar::isUncOrDevice(path) || path.starts_with(u"UNC\\"))
    return Result<std::string>::failure(err::pathNotFound);
  if (!grammar::hasDrive(path)) return hostSeparators(path);
  Result<std::string> directory = driveDirectory(path[0]);
  if (!directory.ok()) return directory;
  std::string host = directory.value() + belowDrive(path.substr(2));
  return host.empty() ? std::string("/") : host;
}

std::u16string windowsPath(std::string_view hostPath) {
  const Mapping* best = nullptr;
  std::vector<Mapping> mappings;
  if (hostPath.starts_with('/')) mappings = driveMappings();
  for (const Mapping& m : mappings)
    if (isBelow(hostPath, m.prefix) && (!best || m.prefix.size() > best->prefix.size())) best = &m;
  std::u16string path = utf16FromUtf8(best ? hostPath.substr(best->prefix.size()) : hostPath);
  for (char16_t& c : path)
    if (c == u'/') c = u'\\';
  if (!best) return path;
  return std::u16string{best->drive, u':'} + (path.empty() ? u"\\" : path);
}

std::u16string shownPath(std::u16string_view path) {
  const bool rootedWithoutDrive = !path.empty() && grammar::isSeparator(path[0]) && !grammar::isUncOrDevice(path);
  if (!rootedWithoutDrive) return std::u16string(path);
  const std::string host = hostSeparators(path);
  std::u16string windows = windowsPath(host);
  return grammar::hasDrive(windows) ? windows : utf16FromUtf8(host);
}

Result<std::u16string> linkedPath(std::u16string_view path) {
  Result<std::string> host = hostPath(path);
  if (!host.ok()) return host.error();
  const bool absolute = host.value().starts_with('/');
  std::deque<std::string> todo = posix::hostComponents(host.value());
  std::vector<std::string> reached; // no link among them
  const auto joined = [&](const std::vector<std::string>& parts) {
    std::string text = absolute ? "/" : "";
    for (const std::string& part : parts) text += (text.empty() || text == "/" ? "" : "/") + part;
    return text;
  };
  for (int links = 0; !todo.empty();) {
    std::string name = std::move(todo.front());
    todo.pop_front();
    if (name == "..") {
      if (!reached.empty()) reached.pop_back();
      continue;
    }
    reached.push_back(std::move(name));
    char target[4096];
    const ssize_t size = readlinkat(AT_FDCWD, joined(reached).c_str(), target, sizeof target);
    if (size <= 0 || static_cast<std::size_t>(size) == sizeof target || ++links > 40) continue;
    const std::string text(target, static_cast<std::size_t>(size));
    reached.pop_back();
    if (text.starts_with('/')) reached.clear();
    std::deque<std::string> parts = posix::hostComponents(text);
    todo.insert(todo.begin(), parts.begin(), parts.end());
  }
  return windowsPath(joined(reached));
}

Result<std::u16string> longPathName(std::u16string_view path) {
  Result<std::string> host = hostPath(path);
  if (!host.ok()) return host.error();
  struct stat st;
  if (lstat(host.value().c_str(), &st) == 0) return std::u16string(path);
  return Result<std::u16string>::failure(posix::missingObjectCode(errno, host.value()));
}

} // namespace os
