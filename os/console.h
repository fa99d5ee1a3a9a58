// The process's standard output and its arguments.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace os {

// Writes bytes to standard output and flushes them; errors (a closed pipe) are ignored.
void writeStdout(std::string_view bytes);

// The arguments the process was started with, program name first, as UTF-16.
std::vector<std::u16string> processArguments();

} // namespace os
