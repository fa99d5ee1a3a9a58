// Processor exceptions: faults (SIGSEGV, SIGBUS, SIGILL, SIGFPE) reported by their Windows
// exception codes to a per-thread translator, and process dumps that a debugger reads.
#pragma once

#include <cstdint>
#include <string_view>

namespace os {

inline constexpr std::uint32_t STATUS_ACCESS_VIOLATION = 0xC0000005;
inline constexpr std::uint32_t STATUS_IN_PAGE_ERROR = 0xC0000006;
inline constexpr std::uint32_t STATUS_ILLEGAL_INSTRUCTION = 0xC000001D;
inline constexpr std::uint32_t STATUS_FLOAT_INVALID_OPERATION = 0xC0000090;
inline constexpr std::uint32_t STATUS_INTEGER_DIVIDE_BY_ZERO = 0xC0000094;
inline constexpr std::uint32_t STATUS_INTEGER_OVERFLOW = 0xC0000095;
inline constexpr std::uint32_t STATUS_PRIVILEGED_INSTRUCTION = 0xC0000096;
inline constexpr std::uint32_t STATUS_STACK_OVERFLOW = 0xC00000FD;
inline constexpr std::uint32_t STATUS_HEAP_CORRUPTION = 0xC0000374;

// The processor state at a fault, as the signal delivered it. Opaque above the boundary.
struct FaultContext;

// Called on the faulting thread, on an alternate stack, with the fault's code. It may throw: the
// tool is built with non-call exceptions, so the exception unwinds from the faulting instruction
// like any other and runs the destructors on the way.
using FaultTranslator = void (*)(std::uint32_t code, const FaultContext& context);

// Makes `translator` the calling thread's translator for the object's lifetime and restores the
// previous one after. Faults on a thread without a translator end the process as usual.
class FaultTranslatorScope {
public:
  explicit FaultTranslatorScope(FaultTranslator translator);
  ~FaultTranslatorScope();
  FaultTranslatorScope(const FaultTranslatorScope&) = delete;
  FaultTranslatorScope& operator=(const FaultTranslatorScope&) = delete;

private:
  FaultTranslator previous_;
};

// Called when the C library aborts the process on a corrupted heap (the abort signal), before the
// process ends. Installed once per process; null removes it.
using HeapCorruptionHandler = void (*)(const FaultContext& context);
void setHeapCorruptionHandler(HeapCorruptionHandler handler);

// Writes an ELF core file of the whole process (every readable mapping, the auxiliary vector and
// the faulting thread's registers) that gdb opens together with the executable; an existing file
// is replaced. Apart from mapping the Windows-form path, it uses only system calls and static
// buffers. Returns the Win32 code of the outcome.
std::uint32_t writeCoreDump(std::u16string_view path, const FaultContext& context);

} // namespace os
