// The impersonation client's reading of a reply on arbitrary bytes: a status word, a byte count,
// then the payload (as much of it as the input holds), read as a run's reply is.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "runtime/core/exception.h"
#include "runtime/process/impersonation_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace wire = RunTime::impersonation;
  if (size < 8) return 0;
  const std::uint32_t status = wire::decodeWord(std::span<const std::uint8_t, 4>(data, 4));
  const std::uint32_t count = wire::decodeWord(std::span<const std::uint8_t, 4>(data + 4, 4));
  try {
    wire::checkReplyCount(status, count);
    const std::span<const std::uint8_t> payload(data + 8, std::min<std::size_t>(count, size - 8));
    volatile std::uint32_t handle = wire::processHandleValue(wire::replyText(status, payload));
    (void)handle;
  } catch (const vexception&) {
  }
  return 0;
}
