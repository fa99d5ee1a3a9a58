// Processor exceptions: faults (SIGSEGV, SIGBUS, SIGILL, SIGFPE) reported by their Windows
// exception codes to a per-thread translator, fatal errors (aborts, faults nobody can translate)
// reported to a process-wide handler, and process dumps that a debugger reads.
//
// Whatever runs after a fault or an abort may find any lock held by the failing code: the C
// library's heap lock (a corrupted heap is usually found inside malloc or free), the log's, the
// registry's. So the dump's name, directory and buffers are prepared while the process is
// healthy, and writing a dump makes only async-signal-safe system calls: no allocation, no lock.
#pragma once

#include <cstdint>
#include <string>
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
// like any other and runs the destructors on the way. Until it throws, the faulting code's locks
// are held: it must take none of the tool's own (the heap's is never held by the tool's code).
using FaultTranslator = void (*)(std::uint32_t code, const FaultContext& context);

// Makes `translator` the calling thread's translator for the object's lifetime and restores the
// previous one after. Only faults raised by an instruction of the executable itself are
// translated: that code is built for non-call exceptions and holds none of the C library's
// locks. A fault inside a library (malloc walking a corrupted heap under its lock, say), a fault
// on a thread without a translator and a fault sent by another process are fatal errors.
class FaultTranslatorScope {
public:
  explicit FaultTranslatorScope(FaultTranslator translator);
  ~FaultTranslatorScope();
  FaultTranslatorScope(const FaultTranslatorScope&) = delete;
  FaultTranslatorScope& operator=(const FaultTranslatorScope&) = delete;

private:
  FaultTranslator previous_;
};

// The calling thread's translator (null when it has none), for threads that work on its behalf.
FaultTranslator currentFaultTranslator();

// Called on a fatal error before the process ends with the signal: an abort (the C library's
// answer to a corrupted heap among them) or a fault that is not translated. It runs in a signal
// handler while the failing code may hold any lock, so it may only do what writeCoreDump does.
// Installed once per process; null removes it.
using FatalErrorHandler = void (*)(const FaultContext& context);
void setFatalErrorHandler(FatalErrorHandler handler);

// Makes the dumps of this process go to `directory` (Windows form, an existing directory) as
// "<programName><yyyymmdd_hhmmss>.dmp" in local time. Maps the path and takes the local time's
// offset from UTC now, so that a dump written at fault time needs neither the registry nor the
// time zone database (a dump written after a daylight-saving change is named an hour off).
// Returns the Win32 code of the outcome; on failure the earlier preparation stays.
[[nodiscard]] std::uint32_t prepareCoreDumps(std::u16string_view directory, std::u16string_view programName);

// The file name (without directory) that a dump written now gets; empty before preparation.
std::u16string coreDumpFileName();

// Writes an ELF core file of the whole process (every readable mapping, the auxiliary vector, the
// faulting thread's registers and those of every other thread that answers a stop signal within
// 200 ms; they stay stopped until the dump is written) that gdb opens together with the
// executable, into the prepared directory under the name of the current second; an existing file
// is replaced. Uses only system calls and static buffers; dumps of several threads are written one
// after another.
// Returns the Win32 code of the outcome (invalidHandle before preparation).
std::uint32_t writeCoreDump(const FaultContext& context);

} // namespace os
