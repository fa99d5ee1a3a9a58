#include "panel/refusal_log.h"

#include <string>

#include "panel/server.h"

namespace panel {

void RefusalLog::refused(std::uint32_t uid, std::uint32_t pid) {
  ++unreported_;
  lastUid_ = uid;
  lastPid_ = pid;
  report();
}

void RefusalLog::report(bool force) {
  const auto now = std::chrono::steady_clock::now();
  if (unreported_ == 0 || (!force && now - lastLine_ < std::chrono::seconds(1))) return;
  const std::string last = "uid " + std::to_string(lastUid_) + " (pid " + std::to_string(lastPid_) + ")";
  logLine(unreported_ == 1 ? "connection refused: " + last + " is not allowed"
                           : "connections refused: " + std::to_string(unreported_) +
                                 " from peers that are not allowed, the last " + last);
  unreported_ = 0;
  lastLine_ = now;
}

} // namespace panel
