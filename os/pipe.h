// Named pipes as Unix domain sockets, anonymous pipes, and the waits on both.
//
// `\\.\pipe\NAME` is the socket `<run directory>/pipe/NAME`. A message pipe is a SOCK_SEQPACKET
// socket (each send is one message, and a receive into a smaller buffer fails with moreData), a
// byte pipe a SOCK_STREAM socket. Every descriptor made here is close-on-exec and non-blocking:
// a transfer that cannot go on at once fails with ioPending, and the caller waits with
// waitReady. Sends never raise SIGPIPE.
//
// Failures are Win32 codes: fileNotFound when nobody listens on the name, pipeBusy when the
// listener's backlog is full, handleEof when the other side has closed its end, brokenPipe when
// it went away while data was moving, moreData for a message longer than the buffer (or, sent,
// longer than the sender's buffer), tooManyOpenFiles when the process is out of descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "os/error.h"
#include "os/handle.h"
#include "os/sync.h"

namespace os::pipe {

inline constexpr std::uint32_t ioPending = 997;

// The largest message a message pipe is made to carry, and so the bound every protocol spoken
// over one enforces. Both ends of a message pipe get a send buffer that holds it: a message
// larger than the sender's buffer cannot be sent at all. Only root may raise the buffer past
// the host's limit (net.core.wmem_max), so another user's messages may be bounded lower.
inline constexpr std::size_t maxMessage = 4 * 1024 * 1024;

enum class Kind { Message, Byte };

// The host path of the pipe named `\\.\pipe\NAME` (the prefix may be omitted). A name that is
// empty, "." or "..", or holds '/', is badPathName: a pipe name never leaves the pipe directory.
Result<std::string> socketPath(const std::string& runDirectory, std::u16string_view pipeName);

// The kind of pipe the descriptor is: Message for a SOCK_SEQPACKET socket, Byte for anything
// else (a stream socket, an anonymous pipe).
Result<Kind> kindOf(NativeHandle pipe);

// A duplicate of the descriptor (close-on-exec).
Result<Handle> duplicate(NativeHandle handle);

// Connects to a listening pipe (a message pipe with its send buffer sized for maxMessage).
Result<Handle> connect(const std::string& path, Kind kind);

// Which file a listener was bound to: the name may later be another listener's.
struct SocketFile {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

// Listens on the path (creating the pipe directory and its parent, mode 0755, when missing, and replacing a
// socket left by an earlier listener); the socket file gets `mode`. `bound`, when given, receives
// the file made.
Result<Handle> listen(const std::string& path, Kind kind, std::uint32_t mode, int backlog,
                      SocketFile* bound = nullptr);

// Claims the pipe's name for this process for as long as the handle stays open: an exclusive
// lock on "<path>.lock" (made when missing with mode 0600; it must be a regular file of this
// process's user, reached without a symbolic link), which is given this process's id.
// lockViolation when another process holds the name: `holder` then gets that process's id (0
// when it has not written it yet).
Result<Handle> claimName(const std::string& path, std::uint32_t& holder);

// Removes the socket file at the path when it is still the one `bound` names; a socket another
// listener has put there since is left alone.
void removeSocketFile(const std::string& path, const SocketFile& bound);

// Takes one pending connection (a message pipe with its send buffer sized for maxMessage);
// ioPending when none is waiting, tooManyOpenFiles when the process is out of descriptors.
Result<Handle> accept(NativeHandle listener);

// A descriptor held in reserve by a server: closed, it makes room to accept a connection (and
// close it at once) when the process is out of descriptors, so that the pending connection
// does not keep the listener readable for ever.
Result<Handle> reserveDescriptor();

// One receive of up to `count` bytes (one message on a message pipe). Returns the bytes moved;
// 0 only when count is 0.
Result<std::size_t> receive(NativeHandle pipe, void* buffer, std::size_t count);
// One send of up to `count` bytes (one message on a message pipe, all or nothing).
Result<std::size_t> send(NativeHandle pipe, const void* data, std::size_t count);

// A send whose message carries descriptors (SCM_RIGHTS); the receiver gets duplicates.
Result<std::size_t> sendWithHandles(NativeHandle pipe, const void* data, std::size_t count,
                                    std::span<const NativeHandle> handles);
// A receive that takes over the descriptors the message carries (appended to `handles`).
// tooManyOpenFiles when the process had no room for them: the message is consumed and the
// descriptors that did arrive are closed.
Result<std::size_t> receiveWithHandles(NativeHandle pipe, void* buffer, std::size_t count,
                                       std::vector<Handle>& handles);
// The length of the next message on a message pipe, without taking it; 0 for an empty message
// and at the end (a receive then tells them apart). ioPending when none is waiting.
Result<std::size_t> nextMessageSize(NativeHandle pipe);

enum class Direction { Read, Write };

// Waits until the descriptor can be read (or is at its end) or written, up to timeoutMs
// (INFINITE_WAIT: forever). Alertable, calls queued for the thread end the wait after they ran.
// Returns WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_IO_COMPLETION.
Result<std::uint32_t> waitReady(NativeHandle handle, Direction direction, std::uint32_t timeoutMs,
                                bool alertable);

// Waits until one of the descriptors can be read: WAIT_OBJECT_0 + its index, or WAIT_TIMEOUT.
// Not alertable (for services that own their threads).
Result<std::uint32_t> waitReadable(std::span<const NativeHandle> handles, std::uint32_t timeoutMs);

// A waitable object that is signalled while the descriptor can be read or is at its end. It
// owns a duplicate of the descriptor, so it does not keep the caller's copy alive.
Result<SyncObject> readableObject(NativeHandle handle);

// Ends both directions of a connection (the other side sees its end) without closing it.
[[nodiscard]] std::uint32_t disconnect(NativeHandle pipe);

// The connected peer's account and process: the credentials it had when it connected.
struct PeerCredentials {
  std::uint32_t pid = 0;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
};
Result<PeerCredentials> peerCredentials(NativeHandle pipe);

// An anonymous pipe. The read end is non-blocking when asked (overlapped reads), the write end
// blocking, as a process expects of its standard output. bufferSize 0 keeps the host's default.
struct PipePair {
  Handle read;
  Handle write;
};
Result<PipePair> createPipe(std::uint32_t bufferSize, bool nonBlockingRead);

} // namespace os::pipe
