// The log lines for peers turned away: counted, and written at most once a second, so that a
// flood of connects (from a user who may not talk to the service, or from one holding all the
// connections it may) cannot flood the service's log.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

namespace panel {

enum class Refusal {
  NotAllowed,  // the peer's account may not talk to the service
  PeerLimit,   // the peer's account holds as many connections as one account may
  ServerFull,  // the service serves as many connections as it may
  NoThread,    // no thread could be started for the connection
};

class RefusalLog {
public:
  // Counts a refusal; writes the counts at once when no line was written in the last second.
  void refused(Refusal why, std::uint32_t uid, std::uint32_t pid);
  // Writes the refusals not yet written, one line per reason, when the last lines are a second
  // old (or at once, when forced: the service stops).
  void report(bool force = false);

private:
  struct Count {
    std::uint64_t unreported = 0;
    std::uint32_t lastUid = 0;
    std::uint32_t lastPid = 0;
  };
  std::array<Count, 4> counts_{};
  std::chrono::steady_clock::time_point lastLine_{};
};

} // namespace panel
