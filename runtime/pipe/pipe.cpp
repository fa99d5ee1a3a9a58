#include "runtime/pipe/pipe.h"

#include <atomic>
#include <string>

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

// The number of connect tries in force: "PipeConnectTryCount" when present and not 0, else
// `tries`. The value is read on the first call and on every 16th after it.
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

// The context of a failed connect: the socket's host path, which the pipe name alone does not
// tell (it depends on the run directory).
ExceptionContext socketContext(const std::string& path, const char* function, std::int32_t line) {
  return ExceptionContext(u"Unable to connect to socket " + os::utf16FromUtf8(path), function, line);
}

} // namespace

// --- Pipe ---------------------------------------------------------------------------------------

Pipe::Pipe(os::Handle handle) : handle_(std::move(handle)) {}

std::uint32_t Pipe::advance(Transfer& t) const {
  const os::NativeHandle pipe = handle_.get();
  os::Result<std::size_t> moved = t.write       ? os::pipe::sendWithHandles(pipe, t.data, t.count, t.handlesOut)
                                  : t.handlesIn ? os::pipe::receiveWithHandles(pipe, t.data, t.count, *t.handlesIn)
                                                : os::pipe::receive(pipe, t.data, t.count);
  if (!moved.ok()) return moved.code();
  t.done = static_cast<std::uint32_t>(moved.value());
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

std::uint32_t Pipe::transferSync(Transfer& t) {
  if (closed_) return 0;
  const char* context = t.write ? "Con::Pipe::write" : "Con::Pipe::read";
  for (;;) {
    std::uint32_t rc = advance(t);
    if (rc == os::err::success) break;
    if (closeOnEnd(rc)) return 0;
    if (rc != ioPending) failTransfer(t, rc, context);
    os::Result<std::uint32_t> ready = os::pipe::waitReady(
        handle_.get(), t.write ? os::pipe::Direction::Write : os::pipe::Direction::Read, os::INFINITE_WAIT, false);
    if (!ready.ok()) failTransfer(t, ready.code(), context);
  }
  checkExact(t, true, context);
  return t.done;
}

std::uint32_t Pipe::writeWithHandles(const void* buffer, std::uint32_t count,
                                     std::span<const os::NativeHandle> handles) {
  Transfer t{true, static_cast<char*>(const_cast<void*>(buffer)), count, 0, handles, nullptr};
  return transferSync(t);
}

std::uint32_t Pipe::readWithHandles(void* buffer, std::uint32_t count, std::vector<os::Handle>& handles) {
  Transfer t{false, static_cast<char*>(buffer), count, 0, {}, &handles};
  return transferSync(t);
}

// --- Overlapped pipes ---------------------------------------------------------------------------

OverlappedPipe::OverlappedPipe(os::Handle handle) : Pipe(std::move(handle)), overlapped_("Con::Overlapped::Overlapped") {
  overlapped_.bind(handle_.get(), "Con::Overlapped::Overlapped");
}

std::uint32_t OverlappedPipe::transfer(Transfer t, bool exact, const char* context) {
  if (!idle_) throw vexception(u"Previous request has not completed!", ExceptionContext(u"", context, __LINE__));
  if (closed_) return 0;
  std::uint32_t rc = advance(t);
  if (rc == ioPending) {
    // A wait abandoned by cancellation leaves the pipe busy: the exchange it belonged to is broken,
    // and its message must not reach the next one.
    idle_ = false;
    rc = complete(t);
    idle_ = true;
  } else if (rc != os::err::success && !isEnd(rc)) {
    failTransfer(t, rc, context);
  }
  if (closeOnEnd(rc)) return 0;
  checkExact(t, exact, "Con::OverlappedPipe::internalComplete");
  return t.done;
}

std::uint32_t OverlappedPipe::complete(Transfer& t) {
  constexpr const char* context = "Con::OverlappedPipe::complete";
  for (;;) {
    std::uint32_t result;
    if (t.write) {
      // Writability has no event of its own: the wait is on the descriptor.
      ThreadCancelation::CancelationPoint point(ThreadCancelation::ASYNCHRONOUS);
      os::Result<std::uint32_t> ready =
          os::pipe::waitReady(handle_.get(), os::pipe::Direction::Write, os::INFINITE_WAIT, true);
      if (!ready.ok()) throwOSError(u"Unable to complete pipe operation", ready.code(), VCONTEXT(context));
      result = ready.value();
      if (result == os::WAIT_IO_COMPLETION) continue;
    } else {
      VSyncObject* objects[1] = {&overlapped_};
      os::Result<std::uint32_t> waited = waitForMultipleObjects(objects, false, os::INFINITE_WAIT);
      if (!waited.ok()) throwOSError(u"Unable to complete pipe operation", waited.code(), VCONTEXT(context));
      result = waited.value();
    }
    if (result != os::WAIT_OBJECT_0 && result != os::WAIT_ABANDONED)
      throw vexception(formatString(u"Unable to complete pipe operation: Unknown state %X", result), VCONTEXT(context));
    const std::uint32_t rc = advance(t);
    if (rc == ioPending) continue;
    if (rc != os::err::success && !isEnd(rc))
      throwOSError(u"Unable to complete pipe operation", rc, VCONTEXT("Con::OverlappedPipe::internalComplete"));
    return rc;
  }
}

std::uint32_t OverlappedPipe::read(void* buffer, std::uint32_t count, bool exact) {
  return transfer({false, static_cast<char*>(buffer), count, 0, {}, nullptr}, exact, "Con::OverlappedPipe::beginRead");
}

std::uint32_t OverlappedPipe::write(const void* buffer, std::uint32_t count, bool exact) {
  return transfer({true, static_cast<char*>(const_cast<void*>(buffer)), count, 0, {}, nullptr}, exact,
                  "Con::OverlappedPipe::beginWrite");
}

// --- Connecting ---------------------------------------------------------------------------------

os::Handle ClientOverlappedPipe::create(std::u16string_view name, std::uint32_t tries) {
  const std::u16string where = u"Unable to connect to pipe " + std::u16string(name);
  const std::uint32_t count = connectTryCount(tries);
  if (count < 1) throwOSError(where, os::err::invalidParameter, VCONTEXT("Con::ClientOverlappedPipe::create"));
  os::Result<std::string> path = os::pipe::socketPath(runDirectory(), name);
  if (!path.ok()) throwOSError(where, path.code(), VCONTEXT("Con::pipePath"));
  std::uint32_t last = os::err::fileNotFound;
  for (std::uint32_t attempt = 0; attempt < count; ++attempt) {
    os::Result<os::Handle> handle = [&] {
      ThreadCancelation::CancelationPoint point(ThreadCancelation::SYNCHRONOUS);
      return os::pipe::connect(path.value(), os::pipe::Kind::Message);
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
  throwOSError(where, last, socketContext(path.value(), "Con::ClientOverlappedPipe::create", __LINE__));
}

} // namespace Con
