// Compiled into every test executable: unless the environment names a registry store already,
// the tests of the process use a private one, with a private run directory, so that no test
// writes the host's /var/lib/tavrix/registry.reg or takes locks in /run/tavrix.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

class PrivateStore {
public:
  PrivateStore() {
    if (const char* named = std::getenv("TAVRIX_REGISTRY"); named && *named) return;
    char pattern[] = "/tmp/tavrix-test-store-XXXXXX";
    if (!mkdtemp(pattern)) return;
    directory_ = pattern;
    owner_ = getpid();
    const std::string store = directory_ + "/registry.reg";
    std::ofstream(store) << "Windows Registry Editor Version 5.00\n\n"
                            "[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n"
                            "\"RunDirectory\"=\"" << directory_ << "/run\"\n";
    setenv("TAVRIX_REGISTRY", store.c_str(), 1);
  }
  ~PrivateStore() {
    // A forked child that exits normally runs this too: only the creating process cleans up.
    if (directory_.empty() || getpid() != owner_) return;
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }

private:
  std::string directory_;
  pid_t owner_ = 0;
};

const PrivateStore store;

} // namespace
