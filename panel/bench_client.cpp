// tavrix-management-bench COUNT [fresh]: COUNT getString round trips of KelvoSrvClient against
// the running management service (the registry store of TAVRIX_REGISTRY names its pipe), printing
// the median, 99th percentile and maximum latency in microseconds. With "fresh" every round trip
// is a client and a connection of its own (the soak of bench/panel.sh). Used by bench/panel.sh.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "os/text.h"
#include "runtime/core/registry.h"
#include "service/kelvo_srv_client.h"

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
  const bool fresh = argc > 2 && std::string_view(argv[2]) == "fresh";
  if (count <= 0) return 2;
  auto connect = [] { return std::make_unique<KelvoSrvClient>(std::u16string(registry::PRODUCT_CONFIG_KEY), u"zrcpipe"); };
  try {
    std::unique_ptr<KelvoSrvClient> client = connect();
    // The first query connects; it is not one of the round trips measured.
    (void)client->getString(u"PRODUCT_DATA_D");
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
      auto start = std::chrono::steady_clock::now();
      if (fresh) client = connect();
      (void)client->getString(u"PRODUCT_DATA_D");
      us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(us.begin(), us.end());
    auto at = [&](double q) { return us[std::min(us.size() - 1, static_cast<std::size_t>(q * us.size()))]; };
    std::printf("%d getString round trips%s: median %.1f us, p99 %.1f us, max %.1f us\n", count,
                fresh ? " on fresh connections" : "", at(0.5), at(0.99), us.back());
  } catch (const vexception& e) {
    std::fprintf(stderr, "%s\n", os::utf8FromUtf16(e.fullText()).c_str());
    return 1;
  }
  return 0;
}
