// A time-out counted down across several waits: each wait gets what is left of it, so waking up
// early (an APC, a partial transfer, a spurious wake-up) never makes the whole wait longer.
#pragma once

#include <chrono>
#include <cstdint>

#include "os/named_mutex.h"

namespace os {

class Deadline {
public:
  using Clock = std::chrono::steady_clock;

  // INFINITE_WAIT never passes.
  explicit Deadline(std::uint32_t timeoutMs)
      : infinite_(timeoutMs == INFINITE_WAIT),
        at_(Clock::now() + std::chrono::milliseconds(infinite_ ? 0 : timeoutMs)) {}

  bool infinite() const { return infinite_; }

  // The whole milliseconds left, rounded up so that a wait for them does not end before the
  // deadline; INFINITE_WAIT when infinite, 0 once passed.
  std::uint32_t remainingMs() const {
    if (infinite_) return INFINITE_WAIT;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(at_ - Clock::now()).count();
    if (left <= 0) return 0;
    return left >= INFINITE_WAIT ? INFINITE_WAIT - 1 : static_cast<std::uint32_t>(left);
  }

  bool passed() const { return !infinite_ && remainingMs() == 0; }

private:
  bool infinite_;
  Clock::time_point at_;
};

} // namespace os
