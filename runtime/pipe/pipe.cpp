#include "runtime/pipe/pipe.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "os/deadline.h"
#include "os/named_mutex.h"
#include "os/pipe.h"
#include "os/text.h"
#include "runtime/core/cancelation.h"
#include "runtime/core/exception.h"
#include "runtime/core/exclusive_task.h"
#include "runtime/core/format.h"
#include "runtime/core/registry.h"

namespace Con {

namespace {

using os::pipe::ioPending;

bool isEnd(std::uint32_t code) {
  return code == os::err::handleEof || code == os::err::brokenPipe || code == os::err::noData;
}

os::pipe::Kind kindOfMode(std::uint32_t readMode) {
  return (readMode & PIPE_READMODE_MESSAGE) ? os::pipe::Kind::Message : os::pipe::Kind::Byte;
}

os::pipe::Kind queryKind(os::NativeHandle handle) {
  if (handle == os::NativeHandle::none) return os::pipe::Kind::Byte;
  os::Result<os::pipe::Kind> kind = os::pipe::kindOf(handle);
  if (!kind.ok()) throwOSError(u"Unable to query pipe", kind.code(), VCONTEXT("Con::Pipe::Pipe"));
  return kind.value();
}

[[noreturn]] void failTransfer(const Pipe::Transfer& transfer, std::uint32_t code, const char* context) {
  throwOSError(transfer.write ? u"Unable to write to pipe" : u"Unable to read from pipe", code,
               ExceptionContext(u"", context, __LINE__));
}

// An alertable pause that is a cancellation point.
void pause(std::uint32_t ms) {
  VEvent never(true, false);
  (void)never.waitForSingleObject(ms);
}

std::atomic<unsigned> connectCalls{0};
std::atomic<bool> tryCountUnreadable{false};
std::atomic<std::uint32_t> tryCountSetting{0};

// Replaces a listener by the connection of the client that waits on it.
std::uint32_t acceptInto(os::Handle& handle) {
  os::Result<os::Handle> client = os::pipe::accept(handle.get());
  if (!client.ok()) return client.code();
  handle = std::move(client.value());
  return os::err::success;
}

} // namespace

std::uint32_t connectTryCount(std::uint32_t tries) {
  if (connectCalls.fetch_add(1) % 16 == 0 && !tryCountUnreadable) {
    try {
      std::uint32_t value = 0;
      if (registry::lookup(registry::HKEY_LOCAL_MACHINE, registry::PRODUCT_CONFIG_KEY, u"PipeConnectTryCount",
                           value, registry::VIEW_32) == os::err::success)
        tryCountSetting = value;
      else
        tryCountSetting = 0;
    } catch (const vexception&) {
      // A value that cannot be read (wrong type, a malformed store) is not asked for again.
      tryCountUnreadable = true;
    }
  }
  const std::uint32_t setting = tryCountSetting;
  return setting != 0 ? setting : tries;
}

namespace {

// The context of a failed connect: the socket's host path, which the pipe name alone does not
// tell (it depends on the run directory).
ExceptionContext socketContext(const std::string& path, const char* function, std::int32_t line) {
  return ExceptionContext(u"Unable to connect to socket " + os::utf16FromUtf8(path), function, line);
}

} // namespace

std::string pipePath(std::u16string_view name) {
  os::Result<std::string> path = os::pipe::socketPath(runDirectory(), name);
  if (!path.ok())
    throwOSError(u"Unable to connect to pipe " + std::u16string(name), path.code(), VCONTEXT("Con::pipePath"));
  return path.value();
}

// --- Pipe ---------------------------------------------------------------------------------------

Pipe::Pipe(os::Handle handle) : handle_(std::move(handle)), kind_(queryKind(handle_.get())) {}

std::uint32_t Pipe::advance(Transfer& t, bool exact) const {
  const bool stream = kind_ == os::pipe::Kind::Byte;
  do {
    char* at = t.data + t.done;
    const std::size_t left = t.count - t.done;
    // Descriptors travel with the first bytes of a transfer only.
    const bool first = t.done == 0;
    os::Result<std::size_t> moved =
        t.write ? os::pipe::sendWithHandles(handle_.get(), at, left,
                                            first ? t.handlesOut : std::span<const os::NativeHandle>{})
        : t.handlesIn ? os::pipe::receiveWithHandles(handle_.get(), at, left, *t.handlesIn)
                      : os::pipe::receive(handle_.get(), at, left);
    if (!moved.ok()) return moved.code();
    t.done += static_cast<std::uint32_t>(moved.value());
  } while (stream && exact && t.done < t.count);
  return os::err::success;
}

bool Pipe::closeOnEnd(std::uint32_t code) {
  if (!isEnd(code)) return false;
  closed_ = true;
  return true;
}

void Pipe::checkExact(const Transfer& t, bool exact, const char* context) {
  if (exact && t.done != t.count)
    throw vexception(formatString(u"Completed only %d of %d bytes", static_cast<int>(t.done), static_cast<int>(t.count)),
                     ExceptionContext(u"", context, __LINE__));
}

std::uint32_t Pipe::transferSync(Transfer& t, bool exact) {
  if (closed_) return 0;
  const char* context = t.write ? "Con::Pipe::write" : "Con::Pipe::read";
  for (;;) {
    std::uint32_t rc = advance(t, exact);
    if (rc == os::err::success) break;
    if (closeOnEnd(rc)) {
      if (t.done == 0) return 0;
      break;
    }
    if (rc != ioPending) failTransfer(t, rc, context);
    os::Result<std::uint32_t> ready = os::pipe::waitReady(
        handle_.get(), t.write ? os::pipe::Direction::Write : os::pipe::Direction::Read, os::INFINITE_WAIT, false);
    if (!ready.ok()) failTransfer(t, ready.code(), context);
  }
  checkExact(t, exact, context);
  return t.done;
}

std::uint32_t Pipe::read(void* buffer, std::uint32_t count, bool exact) {
  Transfer t{false, static_cast<char*>(buffer), count, 0, {}, nullptr};
  return transferSync(t, exact);
}

std::uint32_t Pipe::write(const void* buffer, std::uint32_t count, bool exact) {
  Transfer t{true, static_cast<char*>(const_cast<void*>(buffer)), count, 0, {}, nullptr};
  return transferSync(t, exact);
}

std::uint32_t Pipe::writeWithHandles(const void* buffer, std::uint32_t count,
                                     std::span<const os::NativeHandle> handles) {
  Transfer t{true, static_cast<char*>(const_cast<void*>(buffer)), count, 0, handles, nullptr};
  return transferSync(t, true);
}

std::uint32_t Pipe::readWithHandles(void* buffer, std::uint32_t count, std::vector<os::Handle>& handles) {
  Transfer t{false, static_cast<char*>(buffer), count, 0, {}, &handles};
  return transferSync(t, true);
}

void Pipe::close() {
  handle_.reset();
  closed_ = true;
}

// --- Listening ---------------------------------------------------------------------------------

namespace {
os::Handle listenOn(std::u16string_view name, std::uint32_t readMode, const char* context) {
  // Only the owner may connect: these pipes serve the tool's own processes.
  os::Result<os::Handle> handle = os::pipe::listen(pipePath(name), kindOfMode(readMode), 0600, 1);
  if (!handle.ok())
    throwOSError(u"Unable to create pipe " + std::u16string(name), handle.code(), ExceptionContext(u"", context, __LINE__));
  return std::move(handle.value());
}

void disconnectAndClose(os::Handle& handle, bool skipDisconnect) {
  if (handle.valid() && !skipDisconnect) (void)os::pipe::disconnect(handle.get());
  handle.reset();
}
} // namespace

// --- Overlapped pipes ---------------------------------------------------------------------------

OverlappedPipe::OverlappedPipe(os::Handle handle) : Pipe(std::move(handle)), overlapped_("Con::Overlapped::Overlapped") {
  if (handle_.valid()) overlapped_.bind(handle_.get(), "Con::Overlapped::Overlapped");
}

std::uint32_t OverlappedPipe::begin(Transfer transfer, bool exact, const char* context) {
  if (!idle_) throw vexception(u"Previous request has not completed!", ExceptionContext(u"", context, __LINE__));
  if (closed_) return 0;
  overlapped_.unlock();
  pending_ = transfer.count;
  transfer_ = transfer;
  std::uint32_t rc = advance(transfer_, exact);
  // A byte pipe that moved part of an exact transfer goes on in complete().
  if (rc == os::err::success) return internalComplete(exact);
  if (closeOnEnd(rc)) {
    pending_ = 0;
    return 0;
  }
  if (rc != ioPending) failTransfer(transfer, rc, context);
  idle_ = false;
  return 0;
}

std::uint32_t OverlappedPipe::beginRead(void* buffer, std::uint32_t count, bool exact) {
  return begin({false, static_cast<char*>(buffer), count, 0, {}, nullptr}, exact, "Con::OverlappedPipe::beginRead");
}

std::uint32_t OverlappedPipe::beginWrite(const void* buffer, std::uint32_t count, bool exact) {
  return begin({true, static_cast<char*>(const_cast<void*>(buffer)), count, 0, {}, nullptr}, exact,
               "Con::OverlappedPipe::beginWrite");
}

std::uint32_t OverlappedPipe::internalComplete(bool exact) {
  idle_ = true;
  pending_ = 0;
  checkExact(transfer_, exact, "Con::OverlappedPipe::internalComplete");
  return transfer_.done;
}

std::uint32_t OverlappedPipe::complete(VSyncObject* extraEvent, std::uint32_t timeoutMs, bool exact) {
  constexpr const char* context = "Con::OverlappedPipe::complete";
  if (idle_) throw vexception(u"Previous request has completed!", VCONTEXT(context));
  const os::Deadline deadline(timeoutMs);
  for (;;) {
    const std::uint32_t remaining = deadline.remainingMs();
    std::uint32_t result;
    if (transfer_.write) {
      // Writability has no event of its own: an extra event is not watched during a write.
      ThreadCancelation::CancelationPoint point(ThreadCancelation::ASYNCHRONOUS);
      os::Result<std::uint32_t> ready =
          os::pipe::waitReady(handle_.get(), os::pipe::Direction::Write, remaining, true);
      if (!ready.ok()) throwOSError(u"Unable to complete pipe operation", ready.code(), VCONTEXT(context));
      result = ready.value();
      if (result == os::WAIT_IO_COMPLETION) continue;
    } else {
      VSyncObject* objects[2] = {&overlapped_, extraEvent};
      os::Result<std::uint32_t> waited = waitForMultipleObjects({objects, extraEvent ? 2u : 1u}, false, remaining);
      if (!waited.ok()) throwOSError(u"Unable to complete pipe operation", waited.code(), VCONTEXT(context));
      result = waited.value();
    }
    if (result == os::WAIT_OBJECT_0 || result == os::WAIT_ABANDONED) {
      std::uint32_t rc = advance(transfer_, exact);
      if (rc == os::err::success) return internalComplete(exact);
      if (closeOnEnd(rc)) {
        if (transfer_.done == 0) {
          idle_ = true;
          pending_ = 0;
          return 0;
        }
        return internalComplete(exact);
      }
      if (rc != ioPending)
        throwOSError(u"Unable to complete pipe operation", rc, VCONTEXT("Con::OverlappedPipe::internalComplete"));
      continue;
    }
    if (result == os::WAIT_OBJECT_0 + 1 || result == os::WAIT_TIMEOUT) {
      // Abandoned: nothing more moves for this operation.
      idle_ = true;
      pending_ = 0;
      return 0;
    }
    throw vexception(formatString(u"Unable to complete pipe operation: Unknown state %X", result), VCONTEXT(context));
  }
}

std::uint32_t OverlappedPipe::read(void* buffer, std::uint32_t count, bool exact) {
  std::uint32_t moved = beginRead(buffer, count, exact);
  if (closed_ || idle_) return moved;
  return complete(nullptr, os::INFINITE_WAIT, true);
}

std::uint32_t OverlappedPipe::write(const void* buffer, std::uint32_t count, bool exact) {
  std::uint32_t moved = beginWrite(buffer, count, exact);
  if (closed_ || idle_) return moved;
  return complete(nullptr, os::INFINITE_WAIT, true);
}

void OverlappedPipe::close() {
  Pipe::close();
  overlapped_.unbind();
  idle_ = true;
}

os::Handle ClientOverlappedPipe::create(std::u16string_view name, std::uint32_t readMode, std::uint32_t tries) {
  const std::u16string where = u"Unable to connect to pipe " + std::u16string(name);
  const std::uint32_t count = connectTryCount(tries);
  if (count < 1) throwOSError(where, os::err::invalidParameter, VCONTEXT("Con::ClientOverlappedPipe::create"));
  const std::string path = pipePath(name);
  std::uint32_t last = os::err::fileNotFound;
  for (std::uint32_t attempt = 0; attempt < count; ++attempt) {
    os::Result<os::Handle> handle = [&] {
      ThreadCancelation::CancelationPoint point(ThreadCancelation::SYNCHRONOUS);
      return os::pipe::connect(path, kindOfMode(readMode));
    }();
    if (handle.ok()) return std::move(handle.value());
    last = handle.code();
    if (last == os::err::fileNotFound)
      pause(500);
    else if (last == os::err::pipeBusy)
      // No wait for a free slot exists for sockets: the short pause of a failed pipe wait.
      pause(50);
    else
      break;
  }
  throwOSError(where, last, socketContext(path, "Con::ClientOverlappedPipe::create", __LINE__));
}

void ServerOverlappedPipe::close(bool skipDisconnect) {
  disconnectAndClose(handle_, skipDisconnect);
  overlapped_.unbind();
  closed_ = true;
  idle_ = true;
}

os::Handle ServerOverlappedPipe::create(std::u16string_view name, std::uint32_t readMode) {
  return listenOn(name, readMode, "Con::ServerOverlappedPipe::create");
}

bool ServerOverlappedPipe::connect(std::uint32_t timeoutMs) {
  constexpr const char* context = "Con::ServerOverlappedPipe::connect";
  // The record is bound to the listener, which is readable while a client waits.
  std::uint32_t waited = overlapped_.waitForSingleObject(timeoutMs);
  if (waited == os::WAIT_TIMEOUT) return false;
  std::uint32_t rc = acceptInto(handle_);
  if (rc != os::err::success) throwOSError(u"Unable to connect pipe", rc, VCONTEXT(context));
  overlapped_.bind(handle_.get(), "Con::Overlapped::Overlapped");
  return true;
}

} // namespace Con
