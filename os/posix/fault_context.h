// The processor state of a fault, shared by the signal handlers and the core dump writer.
#pragma once

#include <signal.h>
#include <ucontext.h>

#include <cstdint>

namespace os {

struct FaultContext {
  int signal;
  siginfo_t info;
  ucontext_t registers;
};

namespace posix {

// The address of the instruction that raised the signal.
inline std::uintptr_t programCounter(const ucontext_t& registers) {
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(registers.uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return static_cast<std::uintptr_t>(registers.uc_mcontext.pc);
#else
#error "the program counter of this processor is not known"
#endif
}

} // namespace posix
} // namespace os
