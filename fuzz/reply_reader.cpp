// The client's reading of a reply on arbitrary bytes: the first byte picks what the method reads
// (a string as getString and componentInfo do, a 32-bit value as isGroupMemberUser does), the rest
// is the reply.
#include <cstddef>
#include <cstdint>

#include "runtime/core/exception.h"
#include "service/serializer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  vserializer::reader reader({data + 1, size - 1});
  try {
    if (data[0] & 1) {
      volatile std::size_t length = reader.readString().size();
      (void)length;
    } else {
      volatile std::uint32_t value = reader.readDword();
      (void)value;
    }
  } catch (const vexception&) {
  }
  return 0;
}
