#include "os/console.h"

#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>

#include "os/posix/io.h"
#include "os/text.h"

namespace os {

void writeStdout(std::string_view bytes) {
  // Nothing is left to tell about a console that cannot be written.
  (void)posix::writeAll(STDOUT_FILENO, bytes);
}

std::vector<std::u16string> processArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::u16string> args;
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    args.push_back(utf16FromUtf8(std::string_view(all).substr(start, end - start)));
    start = end + 1;
  }
  return args;
}

} // namespace os
