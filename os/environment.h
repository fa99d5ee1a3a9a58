// The process environment.
#pragma once

#include <cstdint>
#include <string>

namespace os {

// Sets a variable for this process and the programs it starts. Call it before starting threads.
[[nodiscard]] std::uint32_t setEnvironmentVariable(const std::string& name, const std::string& value);

} // namespace os
