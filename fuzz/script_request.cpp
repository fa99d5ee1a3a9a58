// Fuzz target: the script request file reader over arbitrary file content. The bytes are written
// to a file of this process and loaded as --run-application-script loads its request; every
// field is then read. Any outcome but a crash, a leak or a hang is fine: a malformed file throws
// vexception, a DOM failure _com_error.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "os/text.h"
#include "runtime/core/exception.h"
#include "siteapp/script_request.h"

namespace {

// One file for the whole run, named at random so that parallel jobs do not share it; in memory
// (/dev/shm) where there is one, since rewriting a disk file a million times is what a run would
// measure otherwise.
const std::string& requestFile() {
  static const std::string path = [] {
    const std::filesystem::path shm = "/dev/shm";
    const std::filesystem::path directory =
        std::filesystem::is_directory(shm) ? shm : std::filesystem::temp_directory_path();
    return (directory / ("tavrix-fuzz-request-" + std::to_string(std::random_device()()) + ".xml")).string();
  }();
  // Removed when the run ends.
  static const struct Remover {
    ~Remover() {
      std::error_code ignored;
      std::filesystem::remove(path, ignored);
    }
  } remover;
  return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  {
    std::ofstream out(requestFile(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  try {
    const ScriptRequest request = loadScriptRequest(os::utf16FromUtf8(requestFile()));
    std::size_t seen = request.processorName.size() + (request.scriptParams ? request.scriptParams->size() : 0);
    for (const auto& [name, value] : request.environment) seen += name.size() + value.size();
    (void)seen;
  } catch (const vexception&) {
  } catch (const _com_error&) {
  }
  return 0;
}
