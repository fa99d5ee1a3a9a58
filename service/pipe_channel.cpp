#include "service/pipe_channel.h"

#include "runtime/core/cancelation.h"
#include "runtime/core/registry.h"
#include "runtime/log/log_manager.h"

namespace vpipechannel {

namespace {

constexpr std::uint32_t kConnectTries = 10;

[[noreturn]] void pipeFinished() { throw vexception(u"Pipe is finished", VCONTEXT("vpipechannel::client::query")); }

void writeCount(Con::Pipe& pipe, std::uint32_t count) {
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8),
                                 static_cast<std::uint8_t>(count >> 16), static_cast<std::uint8_t>(count >> 24)};
  if (pipe.write(bytes, 4, true) == 0) pipeFinished();
}

std::uint32_t readCount(Con::Pipe& pipe) {
  std::uint8_t bytes[4];
  if (pipe.read(bytes, 4, true) == 0) pipeFinished();
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

} // namespace

client::client(std::u16string keyPath, std::u16string valueName)
    : keyPath_(std::move(keyPath)), valueName_(std::move(valueName)) {}

std::u16string pipeNameOf(std::u16string_view keyPath, std::u16string_view valueName) {
  std::u16string name(valueName);
  (void)registry::lookup(registry::HKEY_LOCAL_MACHINE, keyPath, valueName, name, registry::VIEW_32);
  return u"\\\\.\\pipe\\" + name;
}

void client::connect() {
  if (pipe_ && pipe_->valid()) return;
  pipe_.reset();
  try {
    pipe_ = std::make_unique<Con::ClientOverlappedPipe>(
        Con::ClientOverlappedPipe::create(pipeNameOf(keyPath_, valueName_), kConnectTries));
  } catch (vexception& e) {
    // The pipe's name and socket do not tell an operator which service is missing.
    e.addContext(ExceptionContext(u"Unable to reach Kelvo Management Service", "vpipechannel::client::connect", __LINE__));
    throw;
  }
}

std::vector<std::uint8_t> client::exchange(const std::vector<std::uint8_t>& request) {
  writeCount(*pipe_, static_cast<std::uint32_t>(request.size()));
  if (pipe_->write(request.data(), static_cast<std::uint32_t>(request.size()), true) == 0) pipeFinished();
  const std::uint32_t count = readCount(*pipe_);
  if (count > kelvosrv::maxMessage)
    throw vserializer::invalidprotocol(u"Unexpected end of data when read from serializer.");
  std::vector<std::uint8_t> reply(count);
  if (count == 0) return reply;
  if (pipe_->read(reply.data(), count, true) == 0) pipeFinished();
  return reply;
}

std::vector<std::uint8_t> client::query(const kelvosrv::MethodId& method, const vserializer::buffer& arguments) {
  vserializer::buffer request;
  request.writeBlock(method);
  std::vector<std::uint8_t> bytes = request.data();
  bytes.insert(bytes.end(), arguments.data().begin(), arguments.data().end());

  std::lock_guard lock(mutex_);
  for (int attempt = 0;; ++attempt) {
    connect();
    if (pipe_->closed()) {
      LogManager::instance().log(corelog::levelWarning, u"Connection to Kelvo Management Service is broken: Pipe is finished");
      pipeFinished();
    }
    try {
      return exchange(bytes);
    } catch (const ThreadCancelation::ThreadCanceled&) {
      throw;
    } catch (const vexception& e) {
      if (attempt > 0) throw;
      LogManager::instance().log(
          corelog::levelInfo, u"Kelvo Management service pipe communication error: %s. Trying to reconnect.", e.message());
    } catch (...) {
      if (attempt > 0) throw;
      LogManager::instance().log(corelog::levelInfo, u"Kelvo Management service pipe unknown communication error. Trying to reconnect.");
    }
    pipe_.reset();
  }
}

} // namespace vpipechannel
