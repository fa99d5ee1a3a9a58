// The processor state of a fault, shared by the signal handlers and the core dump writer.
#pragma once

#include <signal.h>
#include <ucontext.h>

namespace os {

struct FaultContext {
  int signal;
  siginfo_t info;
  ucontext_t registers;
};

} // namespace os
