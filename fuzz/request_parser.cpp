// The management service's request parser on arbitrary bytes: it must return plain values or
// throw a vexception, and never read outside the request.
#include <cstddef>
#include <cstdint>

#include "panel/request.h"
#include "runtime/core/exception.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    panel::Request request = panel::parseRequest({data, size});
    // Every field of a parsed request is plain data the service may use as it is.
    volatile std::size_t used = request.first.size() + request.second.size() + request.kind;
    (void)used;
  } catch (const vexception&) {
  }
  return 0;
}
