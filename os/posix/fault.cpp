#include "os/fault.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "os/posix/fault_context.h"

namespace os {
namespace {

thread_local FaultTranslator t_translator = nullptr;
std::atomic<HeapCorruptionHandler> g_heapHandler{nullptr};

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};

std::uint32_t exceptionCode(int signal, const siginfo_t& info) {
  switch (signal) {
  case SIGBUS: return STATUS_IN_PAGE_ERROR;
  case SIGILL:
    return info.si_code == ILL_PRVOPC || info.si_code == ILL_PRVREG ? STATUS_PRIVILEGED_INSTRUCTION
                                                                      : STATUS_ILLEGAL_INSTRUCTION;
  case SIGFPE:
    if (info.si_code == FPE_INTDIV) return STATUS_INTEGER_DIVIDE_BY_ZERO;
    if (info.si_code == FPE_INTOVF) return STATUS_INTEGER_OVERFLOW;
    return STATUS_FLOAT_INVALID_OPERATION;
  default: return STATUS_ACCESS_VIOLATION;
  }
}

// Gives the signal back to its default action; returning from the handler re-executes the
// faulting instruction, which then ends the process as it would have without us.
void restoreDefault(int signal) {
  struct sigaction dfl{};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(signal, &dfl, nullptr);
}

void onFault(int signal, siginfo_t* info, void* uc) {
  FaultTranslator translator = t_translator;
  if (!translator) {
    restoreDefault(signal);
    return;
  }
  static thread_local FaultContext context;
  context.signal = signal;
  context.info = *info;
  std::memcpy(&context.registers, uc, sizeof(ucontext_t));
  translator(exceptionCode(signal, *info), context);
  restoreDefault(signal);
}

void onAbort(int signal, siginfo_t* info, void* uc) {
  if (HeapCorruptionHandler handler = g_heapHandler.load()) {
    static FaultContext context;
    context.signal = signal;
    context.info = *info;
    std::memcpy(&context.registers, uc, sizeof(ucontext_t));
    handler(context);
  }
  restoreDefault(signal);
  ::raise(signal);
}

// Each thread that translates faults needs its own alternate stack, so that a stack overflow can
// still be reported.
void ensureAlternateStack() {
  thread_local bool installed = false;
  if (installed) return;
  stack_t current{};
  if (::sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) {
    installed = true;
    return;
  }
  static constexpr std::size_t kSize = 64 * 1024;
  thread_local char* stack = static_cast<char*>(std::malloc(kSize));
  stack_t alt{};
  alt.ss_sp = stack;
  alt.ss_size = kSize;
  installed = stack && ::sigaltstack(&alt, nullptr) == 0;
}

void installHandler(int signal, void (*handler)(int, siginfo_t*, void*)) {
  struct sigaction action{};
  action.sa_sigaction = handler;
  // SA_NODEFER: a translator that throws never returns, so the signal must not stay blocked.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
}

} // namespace

FaultTranslatorScope::FaultTranslatorScope(FaultTranslator translator) : previous_(t_translator) {
  static std::once_flag once;
  std::call_once(once, [] {
    for (int signal : kFaultSignals) installHandler(signal, onFault);
  });
  ensureAlternateStack();
  t_translator = translator;
}

FaultTranslatorScope::~FaultTranslatorScope() { t_translator = previous_; }

void setHeapCorruptionHandler(HeapCorruptionHandler handler) {
  g_heapHandler.store(handler);
  if (handler) installHandler(SIGABRT, onAbort);
  else restoreDefault(SIGABRT);
}

} // namespace os
