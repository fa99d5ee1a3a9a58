// The driver of bench/entries.sh:
//   metadata_bench <dir> <entries> <runs>
// saves a collection of that many entries to <dir>\.kelvo\.Security and loads it again, <runs>
// times, and prints one line per run: "<save microseconds> <load microseconds>".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "os/text.h"
#include "security/hosting/metadata_file.h"
#include "tests/security/hosting/metadata_testing.h"

namespace {

template <class F>
long long microseconds(F&& action) {
  const auto start = std::chrono::steady_clock::now();
  action();
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: metadata_bench <dir> <entries> <runs>\n");
    return 2;
  }
  const std::u16string file = HostingSecurity::domainMetadataFile(os::utf16FromUtf8(argv[1]), u"site");
  const std::size_t count = std::strtoul(argv[2], nullptr, 10);
  const int runs = std::atoi(argv[3]);
  auto helper = testing_support::accountsHelper(60);
  auto entries = testing_support::makeCollection(helper, count, 3);
  try {
    for (int run = 0; run < runs; ++run) {
      std::u16string location = file;
      const long long save = microseconds([&] { HostingSecurity::saveToFile(*entries, location, u"", true); });
      std::size_t loaded = 0;
      const long long load = microseconds(
          [&] { loaded = HostingSecurity::loadFromFile(file, nullptr, helper, true)->size(); });
      if (loaded != count) {
        std::fprintf(stderr, "loaded %zu of %zu entries\n", loaded, count);
        return 1;
      }
      std::printf("%lld %lld\n", save, load);
    }
  } catch (const vexception& e) {
    std::fprintf(stderr, "%s\n", testing_support::u8(e.fullText()).c_str());
    return 1;
  }
  return 0;
}
