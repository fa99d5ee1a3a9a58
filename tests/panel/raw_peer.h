// A connection to a panel service that speaks the wire format by hand, message by message, as a
// hostile or careless peer might.
#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "os/pipe.h"

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

inline Bytes le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}

// UTF-16LE of ASCII text, as the wire carries text.
inline Bytes utf16(std::string_view ascii) {
  Bytes text;
  for (char c : ascii) text.insert(text.end(), {static_cast<std::uint8_t>(c), 0});
  return text;
}

// How many entries a directory holds (a process's descriptors or threads under /proc).
inline std::size_t entriesOf(const std::string& directory) {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(directory), {}));
}

// Runs the action in a child process acting as the account (its own when uid is the process's);
// its exit status is the action's result (3 when the account could not be taken on, 4 when the
// action threw: the child never goes back to the test runner; -1 when a signal ended it).
inline int inChildAs(std::uint32_t uid, std::uint32_t gid, const std::function<int()>& action) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (uid != ::geteuid() && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) ::_exit(3);
    try {
      ::_exit(action());
    } catch (...) {
      ::_exit(4);
    }
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class RawPeer {
public:
  explicit RawPeer(const std::string& path) {
    os::Result<os::Handle> connected = os::pipe::connect(path, os::pipe::Kind::Message);
    if (connected.ok()) handle_ = std::move(connected.value());
  }
  bool connected() const { return handle_.valid(); }
  os::NativeHandle handle() const { return handle_.get(); }

  // Sends the messages in order; false when one could not be sent.
  bool send(const std::vector<Bytes>& messages) {
    for (const Bytes& message : messages)
      for (;;) {
        os::Result<std::size_t> sent = os::pipe::send(handle_.get(), message.data(), message.size());
        if (sent.ok()) break;
        if (sent.code() != os::pipe::ioPending) return false;
        (void)os::pipe::waitReady(handle_.get(), os::pipe::Direction::Write, 1000, false);
      }
    return true;
  }
  // Whether a message or the connection's end has come (within the time).
  bool readable(std::uint32_t timeoutMs = 0) {
    os::Result<std::uint32_t> ready = os::pipe::waitReady(handle_.get(), os::pipe::Direction::Read, timeoutMs, false);
    return ready.ok() && ready.value() == os::WAIT_OBJECT_0;
  }
  // The next message (its descriptors appended to `handles`), or nothing when the service closed
  // the connection or sent nothing in time. The default time only ends a wait for a service that
  // hangs: a loaded machine must not turn a late reply into a failure.
  std::optional<Bytes> receive(std::uint32_t timeoutMs = 60000, std::vector<os::Handle>* handles = nullptr) {
    if (!readable(timeoutMs)) return std::nullopt;
    // A byte more than the message: an empty message and the connection's end then tell apart.
    const os::Result<std::size_t> size = os::pipe::nextMessageSize(handle_.get());
    Bytes message(size.ok() ? size.value() + 1 : 1);
    std::vector<os::Handle> taken;
    const os::Result<std::size_t> got =
        os::pipe::receiveWithHandles(handle_.get(), message.data(), message.size(), handles ? *handles : taken);
    if (!got.ok()) return std::nullopt;
    message.resize(got.value());
    return message;
  }

private:
  os::Handle handle_;
};

} // namespace testing_support
