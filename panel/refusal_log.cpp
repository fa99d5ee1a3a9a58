#include "panel/refusal_log.h"

#include <string>

#include "panel/server.h"

namespace panel {

namespace {

// How a line tells the reason: for one refusal ("uid U (pid P) <one>") and for several
// ("N <several>, the last uid U (pid P)").
struct Wording {
  const char* one;
  const char* several;
};

constexpr Wording wordingOf[] = {
    {"is not allowed", "from peers that are not allowed"},
    {"holds as many connections as one account may", "from accounts holding as many connections as one may"},
    {"found the service serving as many connections as it may", "while the service served as many connections as it may"},
    {"could not be given a thread", "for want of a thread to serve them"},
};

} // namespace

void RefusalLog::refused(Refusal why, std::uint32_t uid, std::uint32_t pid) {
  Count& count = counts_[static_cast<std::size_t>(why)];
  ++count.unreported;
  count.lastUid = uid;
  count.lastPid = pid;
  report();
}

void RefusalLog::report(bool force) {
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - lastLine_ < std::chrono::seconds(1)) return;
  bool wrote = false;
  for (std::size_t reason = 0; reason < counts_.size(); ++reason) {
    Count& count = counts_[reason];
    if (count.unreported == 0) continue;
    const std::string last = "uid " + std::to_string(count.lastUid) + " (pid " + std::to_string(count.lastPid) + ")";
    logLine(count.unreported == 1 ? "connection refused: " + last + " " + wordingOf[reason].one
                                  : "connections refused: " + std::to_string(count.unreported) + " " +
                                        wordingOf[reason].several + ", the last " + last);
    count.unreported = 0;
    wrote = true;
  }
  if (wrote) lastLine_ = now;
}

} // namespace panel
