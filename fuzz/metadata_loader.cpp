// Fuzz target: the security metadata loader (importer, vocabulary, accounts) over an arbitrary
// file. Accounts come from a small table, so that no input reaches the host's account database.
// Any outcome but a crash, a leak or a hang is fine: a bad file throws vexception.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "os/text.h"
#include "security/hosting/metadata_file.h"
#include "xml/sax_writer.h"
#include "tests/security/disk/fake_system_helper.h"

namespace {

std::shared_ptr<testing_support::FakeSystemHelper> helper() {
  static auto made = [] {
    auto h = std::make_shared<testing_support::FakeSystemHelper>();
    h->addAccount(u"bob", 1001);
    h->addAccount(u"zrcadm", 500);
    h->addAccount(u"zrcadm_users", 501);
    h->addAccount(u"carol", 1002, u"CORP");
    return h;
  }();
  return made;
}

const std::string& file() {
  // In memory where the host has a memory file system: the input is written for every run.
  static const std::string path = [] {
    char memory[] = "/dev/shm/metadata-fuzz.XXXXXX";
    char disk[] = "/tmp/metadata-fuzz.XXXXXX";
    const char* directory = mkdtemp(memory);
    return std::string(directory ? directory : mkdtemp(disk)) + "/.Security";
  }();
  return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (FILE* out = std::fopen(file().c_str(), "wb")) {
    std::fwrite(data, 1, size, out);
    std::fclose(out);
  }
  for (bool lenient : {true, false}) {
    try {
      auto entries = HostingSecurity::loadFromFile(os::utf16FromUtf8(file()), nullptr, helper(),
                                                   lenient);
      // What was read must write again (into memory: the file's own save is fsync-bound).
      std::string document;
      SaxWriter writer([&](const char* bytes, std::size_t count) { document.append(bytes, count); });
      HostingSecurity::writeEntries(*entries, writer, lenient);
    } catch (const vexception&) {
    }
  }
  return 0;
}
