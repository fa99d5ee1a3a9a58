#include "runtime/process/impersonation_wire.h"

#include "os/text.h"
#include "runtime/core/exception.h"
#include "runtime/core/format.h"
#include "runtime/core/registry.h"

namespace RunTime::impersonation {

namespace {

void put(std::uint8_t* at, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t get(const std::uint8_t* at, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= static_cast<std::uint64_t>(at[i]) << (8 * i);
  return value;
}

} // namespace

std::u16string pipeName() {
  std::u16string name = u"ZRC_pipe {110D2F0F-F073-4021-AB73-C7886FB9BD1E}";
  (void)registry::lookup(registry::HKEY_LOCAL_MACHINE, registry::PRODUCT_CONFIG_KEY, u"ZRC_pipe", name,
                         registry::VIEW_32);
  return u"\\\\.\\pipe\\" + name;
}

std::array<std::uint8_t, headerSize> encodeHeader(const ProcessHeader& header) {
  std::array<std::uint8_t, headerSize> bytes{};
  put(&bytes[0], header.processId, 4);
  put(&bytes[4], header.threadId, 4);
  put(&bytes[8], static_cast<std::uint64_t>(header.stdinRead), 8);
  put(&bytes[16], static_cast<std::uint64_t>(header.stdoutWrite), 8);
  put(&bytes[24], static_cast<std::uint64_t>(header.stderrWrite), 8);
  put(&bytes[32], header.flag, 4);
  return bytes; // 36..39: padding, zeros
}

ProcessHeader decodeHeader(std::span<const std::uint8_t, headerSize> bytes) {
  return {static_cast<std::uint32_t>(get(&bytes[0], 4)), static_cast<std::uint32_t>(get(&bytes[4], 4)),
          static_cast<std::int64_t>(get(&bytes[8], 8)),  static_cast<std::int64_t>(get(&bytes[16], 8)),
          static_cast<std::int64_t>(get(&bytes[24], 8)), static_cast<std::uint32_t>(get(&bytes[32], 4))};
}

std::array<std::uint8_t, 4> encodeWord(std::uint32_t value) {
  std::array<std::uint8_t, 4> bytes;
  put(bytes.data(), value, 4);
  return bytes;
}

std::uint32_t decodeWord(std::span<const std::uint8_t, 4> bytes) {
  return static_cast<std::uint32_t>(get(bytes.data(), 4));
}

void checkReplyCount(std::uint32_t status, std::uint32_t count) {
  if (count > maxLength || (count != 0 && (status == statusDone || status == statusDoneToo)))
    throw vexception(formatString(u"Invalid reply from server: status %u with %u bytes", status, count),
                     VCONTEXT("RunTime::PipeClient::readMessage"));
}

std::u16string replyText(std::uint32_t status, std::span<const std::uint8_t> payload) {
  if (status == statusDone || status == statusDoneToo) return {};
  std::u16string text = os::utf16FromLittleEndian(
      std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size() & ~std::size_t{1}));
  if (status == statusError) throw vexception(text, VCONTEXT("RunTime::PipeClient::readMessage"));
  return text;
}

std::uint32_t processHandleValue(const std::u16string& text) {
  if (text.size() != 4)
    throw vexception(formatString(u"Invalid answer from server: (%s)", text), VCONTEXT("RunTime::PipeClient::readValue"));
  return text[0] | static_cast<std::uint32_t>(text[1]) << 16;
}

} // namespace RunTime::impersonation
