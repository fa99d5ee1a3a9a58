#include "os/fault.h"

#include <elf.h>
#include <link.h>
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
std::atomic<FatalErrorHandler> g_fatalHandler{nullptr};

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};

// The executable's own code segments, found once before any fault can need them.
struct CodeRange {
  std::uintptr_t start, end;
};
CodeRange g_ownCode[8];
std::size_t g_ownCodeCount = 0;

int recordProgramCode(dl_phdr_info* info, std::size_t, void*) {
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD || !(segment.p_flags & PF_X)) continue;
    if (g_ownCodeCount == std::size(g_ownCode)) break;
    std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
    g_ownCode[g_ownCodeCount++] = {start, start + segment.p_memsz};
  }
  return 1; // the first object listed is the program itself
}

bool inOwnCode(std::uintptr_t address) {
  for (std::size_t i = 0; i < g_ownCodeCount; ++i)
    if (address >= g_ownCode[i].start && address < g_ownCode[i].end) return true;
  return false;
}

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

void restoreDefault(int signal) {
  struct sigaction dfl{};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(signal, &dfl, nullptr);
}

// Hands the fatal error to the handler, then lets the signal take its default course: the
// process ends as it would have without us, by the same signal.
void endProcess(const FaultContext& context) {
  if (FatalErrorHandler handler = g_fatalHandler.load()) handler(context);
  restoreDefault(context.signal);
  ::raise(context.signal);
}

FaultContext contextOf(int signal, const siginfo_t* info, const void* uc) {
  FaultContext context;
  context.signal = signal;
  context.info = *info;
  std::memcpy(&context.registers, uc, sizeof(ucontext_t));
  return context;
}

void onFault(int signal, siginfo_t* info, void* uc) {
  const FaultContext context = contextOf(signal, info, uc);
  // A positive code: the processor raised it, at the instruction the context names.
  if (FaultTranslator translator = t_translator;
      translator && info->si_code > 0 && inOwnCode(posix::programCounter(context.registers)))
    translator(exceptionCode(signal, *info), context);
  endProcess(context);
}

void onAbort(int signal, siginfo_t* info, void* uc) { endProcess(contextOf(signal, info, uc)); }

void installHandler(int signal, void (*handler)(int, siginfo_t*, void*)) {
  struct sigaction action{};
  action.sa_sigaction = handler;
  // SA_NODEFER: a translator that throws never returns, so the signal must not stay blocked.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
}

void installFaultHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    dl_iterate_phdr(recordProgramCode, nullptr);
    for (int signal : kFaultSignals) installHandler(signal, onFault);
  });
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

} // namespace

FaultTranslatorScope::FaultTranslatorScope(FaultTranslator translator) : previous_(t_translator) {
  installFaultHandlers();
  ensureAlternateStack();
  t_translator = translator;
}

FaultTranslatorScope::~FaultTranslatorScope() { t_translator = previous_; }

FaultTranslator currentFaultTranslator() { return t_translator; }

void setFatalErrorHandler(FatalErrorHandler handler) {
  g_fatalHandler.store(handler);
  if (!handler) {
    restoreDefault(SIGABRT);
    return;
  }
  installFaultHandlers();
  installHandler(SIGABRT, onAbort);
}

} // namespace os
