// The log lines for peers turned away: counted, and written at most once a second, so that a
// flood of connects from a user who may not talk to the service cannot flood its log.
#pragma once

#include <chrono>
#include <cstdint>

namespace panel {

class RefusalLog {
public:
  // Counts a refusal; writes the count at once when no line was written in the last second.
  void refused(std::uint32_t uid, std::uint32_t pid);
  // Writes the refusals not yet written when the last line is a second old (or at once, when
  // forced: the service stops).
  void report(bool force = false);

private:
  std::uint64_t unreported_ = 0;
  std::uint32_t lastUid_ = 0;
  std::uint32_t lastPid_ = 0;
  std::chrono::steady_clock::time_point lastLine_{};
};

} // namespace panel
