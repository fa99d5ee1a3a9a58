// The ELF core file writer. It runs inside signal handlers while the failing code may hold any
// lock, so everything it needs is prepared beforehand and writing uses only async-signal-safe
// system calls and static buffers: no allocation, no stdio, no locks.
#include <elf.h>
#include <fcntl.h>
#include <sys/procfs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "os/fault.h"
#include "os/path.h"
#include "os/posix/errno_map.h"
#include "os/posix/fault_context.h"
#include "os/posix/fd.h"
#include "os/text.h"

namespace os {
namespace {

// "yyyymmdd_hhmmss.dmp"
constexpr std::size_t kStampLength = 19;

// The prepared dump path: "<directory>/<program>", room for the stamp, and where the program's
// name starts. The offset turns the UTC time of a fault into the local one.
char g_path[PATH_MAX + kStampLength + 1];
std::size_t g_prefixLength;
std::size_t g_nameStart;
long g_utcOffset;
std::atomic<bool> g_prepared{false};

// One dump at a time, since they share the static buffers. A thread that faults again inside its
// own dump gives up rather than wait for itself.
std::atomic<long> g_writer{0};

class WriterTurn {
public:
  WriterTurn() : self_(::syscall(SYS_gettid)) {
    for (;;) {
      long expected = 0;
      if (g_writer.compare_exchange_strong(expected, self_)) {
        owned_ = true;
        return;
      }
      if (expected == self_) return;
      const timespec pause{0, 1000000};
      ::nanosleep(&pause, nullptr);
    }
  }
  ~WriterTurn() {
    if (owned_) g_writer.store(0);
  }
  WriterTurn(const WriterTurn&) = delete;
  WriterTurn& operator=(const WriterTurn&) = delete;

  bool owned() const { return owned_; }

private:
  long self_;
  bool owned_ = false;
};

void putDigits(char*& out, int value, int width) {
  for (int i = width - 1; i >= 0; --i, value /= 10) out[i] = static_cast<char>('0' + value % 10);
  out += width;
}

// Writes the stamp of the current local time to `out` (kStampLength characters, no terminator).
void formatStamp(char* out) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const long local = now.tv_sec + g_utcOffset;
  long days = local / 86400, second = local % 86400;
  if (second < 0) {
    second += 86400;
    --days;
  }
  // Calendar arithmetic only: no time zone database, no lock.
  const std::chrono::year_month_day date{std::chrono::sys_days{std::chrono::days{days}}};
  putDigits(out, static_cast<int>(date.year()) % 10000, 4);
  putDigits(out, static_cast<int>(static_cast<unsigned>(date.month())), 2);
  putDigits(out, static_cast<int>(static_cast<unsigned>(date.day())), 2);
  *out++ = '_';
  putDigits(out, static_cast<int>(second / 3600), 2);
  putDigits(out, static_cast<int>(second / 60 % 60), 2);
  putDigits(out, static_cast<int>(second % 60), 2);
  std::memcpy(out, ".dmp", 4);
}

struct Mapping {
  unsigned long start, end;
  bool read, write, exec;
};

constexpr std::size_t kMaxMappings = 8192;
// Mappings beyond this size keep their place in the dump but not their content.
constexpr unsigned long kMaxMappingBytes = 1ul << 30;

Mapping g_mappings[kMaxMappings];
std::size_t g_mappingCount;
alignas(8) char g_buffer[1 << 16]; // the listing of /proc/self/task, then /proc/self/maps
unsigned char g_auxv[4096];
std::size_t g_auxvSize;

// The other threads' registers. Each is stopped by a signal whose handler stores its context,
// and waits there until the dump is written, so that memory stays as the registers describe it.
// A thread that does not answer in time (the signal blocked) is left out of the dump. The wait
// is generous: on a loaded machine a runnable thread can take hundreds of milliseconds to be
// scheduled, and a dump that misses a thread loses its stack for good.
constexpr std::size_t kMaxThreads = 256;
constexpr long kCaptureWaitNs = 2'000'000'000;

struct ThreadSlot {
  std::atomic<long> tid{0};
  std::atomic<bool> captured{false};
  ucontext_t registers;
};

ThreadSlot g_threads[kMaxThreads];
std::size_t g_threadCount;
std::atomic<bool> g_released{true};

// A real-time signal that nothing else in the tool uses.
int captureSignal() { return SIGRTMIN + 4; }

void pause(long nanoseconds) {
  const timespec pause{0, nanoseconds};
  ::nanosleep(&pause, nullptr);
}

void onCapture(int, siginfo_t*, void* uc) {
  const long self = ::syscall(SYS_gettid);
  for (ThreadSlot& slot : g_threads) {
    if (slot.tid.load() != self) continue;
    std::memcpy(&slot.registers, uc, sizeof(ucontext_t));
    slot.captured.store(true);
    while (!g_released.load()) pause(1'000'000);
    return;
  }
}

void installCaptureHandler() {
  struct sigaction action{};
  action.sa_sigaction = onCapture;
  action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  ::sigaction(captureSignal(), &action, nullptr);
}

// The raw record of getdents64.
struct DirectoryRecord {
  std::uint64_t inode;
  std::int64_t offset;
  unsigned short length;
  unsigned char type;
  char name[1];
};

long threadIdOf(const char* name) {
  long id = 0;
  for (; *name >= '0' && *name <= '9'; ++name) id = id * 10 + (*name - '0');
  return *name ? 0 : id;
}

// Stops every thread of the process but `self` that answers, and records it in g_threads.
void stopOtherThreads(long self) {
  g_threadCount = 0;
  g_released.store(false);
  posix::Fd tasks(::open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!tasks) return;
  for (long n; (n = ::syscall(SYS_getdents64, tasks.get(), g_buffer, sizeof g_buffer)) > 0;)
    for (long at = 0; at < n;) {
      const auto* record = reinterpret_cast<const DirectoryRecord*>(g_buffer + at);
      at += record->length;
      const long tid = threadIdOf(record->name);
      if (tid == 0 || tid == self || g_threadCount == kMaxThreads) continue;
      ThreadSlot& slot = g_threads[g_threadCount];
      slot.captured.store(false);
      slot.tid.store(tid);
      if (::syscall(SYS_tgkill, ::getpid(), tid, captureSignal()) == 0) ++g_threadCount;
      else slot.tid.store(0);
    }
  for (long waited = 0; waited < kCaptureWaitNs; waited += 1'000'000) {
    bool all = true;
    for (std::size_t i = 0; i < g_threadCount; ++i) all = all && g_threads[i].captured.load();
    if (all) return;
    pause(1'000'000);
  }
}

void resumeOtherThreads() {
  for (std::size_t i = 0; i < g_threadCount; ++i) g_threads[i].tid.store(0);
  g_released.store(true);
}


bool readHex(const char*& p, unsigned long& value) {
  value = 0;
  const char* start = p;
  for (;; ++p) {
    char c = *p;
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) break;
    value = value * 16 + static_cast<unsigned long>(digit);
  }
  return p != start;
}

// Parses one line of /proc/self/maps: "start-end perms offset dev inode path".
void addMapping(const char* line) {
  Mapping m{};
  const char* p = line;
  if (!readHex(p, m.start) || *p++ != '-' || !readHex(p, m.end) || *p++ != ' ') return;
  m.read = p[0] == 'r';
  m.write = p[1] == 'w';
  m.exec = p[2] == 'x';
  // The kernel's own pages cannot be read through write(2).
  if (!m.read || std::strstr(line, "[vvar]") || std::strstr(line, "[vsyscall]")) return;
  if (g_mappingCount < kMaxMappings) g_mappings[g_mappingCount++] = m;
}

bool readMappings() {
  posix::Fd fd(::open("/proc/self/maps", O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  g_mappingCount = 0;
  std::size_t used = 0;
  for (;;) {
    ssize_t n = ::read(fd.get(), g_buffer + used, sizeof g_buffer - 1 - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    used += static_cast<std::size_t>(n);
    g_buffer[used] = '\0';
    char* lineStart = g_buffer;
    for (char* nl; (nl = std::strchr(lineStart, '\n')); lineStart = nl + 1) {
      *nl = '\0';
      addMapping(lineStart);
    }
    used = static_cast<std::size_t>(g_buffer + used - lineStart);
    std::memmove(g_buffer, lineStart, used);
  }
  return true;
}

void readAuxv() {
  g_auxvSize = 0;
  posix::Fd fd(::open("/proc/self/auxv", O_RDONLY | O_CLOEXEC));
  if (!fd) return;
  ssize_t n;
  while ((n = ::read(fd.get(), g_auxv + g_auxvSize, sizeof g_auxv - g_auxvSize)) > 0)
    g_auxvSize += static_cast<std::size_t>(n);
}

bool writeAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool writeZeros(int fd, std::size_t size) {
  static const char zeros[4096] = {};
  while (size > 0) {
    std::size_t chunk = size < sizeof zeros ? size : sizeof zeros;
    if (!writeAll(fd, zeros, chunk)) return false;
    size -= chunk;
  }
  return true;
}

// Writes a mapping's memory; pages the kernel refuses to read are written as zeros.
bool writeMemory(int fd, unsigned long start, unsigned long size) {
  const long page = ::sysconf(_SC_PAGESIZE);
  for (unsigned long at = start; at < start + size;) {
    ssize_t n = ::write(fd, reinterpret_cast<const void*>(at), start + size - at);
    if (n > 0) {
      at += static_cast<unsigned long>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EFAULT) {
      unsigned long next = (at / page + 1) * page;
      if (!writeZeros(fd, next - at)) return false;
      at = next;
    } else {
      return false;
    }
  }
  return true;
}

std::size_t align4(std::size_t n) { return (n + 3) & ~std::size_t(3); }

// One note record: header, name "CORE" and the payload, each padded to 4 bytes.
std::size_t noteSize(std::size_t payload) { return sizeof(Elf64_Nhdr) + 8 + align4(payload); }

bool writeNote(int fd, std::uint32_t type, const void* payload, std::size_t size) {
  Elf64_Nhdr header{5, static_cast<Elf64_Word>(size), type};
  static const char name[8] = "CORE";
  static const char pad[4] = {};
  return writeAll(fd, &header, sizeof header) && writeAll(fd, name, 8) &&
         writeAll(fd, payload, size) && writeAll(fd, pad, align4(size) - size);
}

// One thread's status note: its id, registers and the signal it is reported with (0 for the
// threads that were only stopped for the dump).
void fillStatus(elf_prstatus& status, long tid, const ucontext_t& registers, int signal, int signalCode) {
  std::memset(&status, 0, sizeof status);
  status.pr_info.si_signo = signal;
  status.pr_info.si_code = signalCode;
  status.pr_cursig = static_cast<short>(signal);
  status.pr_pid = static_cast<pid_t>(tid);
  status.pr_ppid = ::getppid();
  status.pr_pgrp = ::getpgrp();
  status.pr_sid = ::getsid(0);
#if defined(__x86_64__)
  const greg_t* g = registers.uc_mcontext.gregs;
  // The register order of the core file (user_regs_struct) differs from the signal context's.
  const int order[] = {REG_R15, REG_R14, REG_R13, REG_R12, REG_RBP, REG_RBX, REG_R11, REG_R10,
                       REG_R9,  REG_R8,  REG_RAX, REG_RCX, REG_RDX, REG_RSI, REG_RDI};
  for (std::size_t i = 0; i < sizeof order / sizeof order[0]; ++i) status.pr_reg[i] = g[order[i]];
  status.pr_reg[15] = g[REG_RAX];              // orig_rax
  status.pr_reg[16] = g[REG_RIP];
  status.pr_reg[17] = g[REG_CSGSFS] & 0xFFFF;  // cs
  status.pr_reg[18] = g[REG_EFL];
  status.pr_reg[19] = g[REG_RSP];
  status.pr_reg[20] = 0x2b;                    // ss of user mode
#elif defined(__aarch64__)
  const mcontext_t& m = registers.uc_mcontext;
  for (int i = 0; i < 31; ++i) status.pr_reg[i] = m.regs[i];
  status.pr_reg[31] = m.sp;
  status.pr_reg[32] = m.pc;
  status.pr_reg[33] = m.pstate;
#endif
}

void fillProcessInfo(elf_prpsinfo& info) {
  std::memset(&info, 0, sizeof info);
  info.pr_sname = 'R';
  info.pr_pid = ::getpid();
  info.pr_ppid = ::getppid();
  info.pr_uid = ::getuid();
  info.pr_gid = ::getgid();
  posix::Fd comm(::open("/proc/self/comm", O_RDONLY | O_CLOEXEC));
  if (comm) {
    ssize_t n = ::read(comm.get(), info.pr_fname, sizeof info.pr_fname - 1);
    if (n > 0 && info.pr_fname[n - 1] == '\n') info.pr_fname[n - 1] = '\0';
  }
  // The command line as gdb shows it: the arguments separated by spaces, cut to the field.
  posix::Fd arguments(::open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC));
  if (arguments) {
    ssize_t n = ::read(arguments.get(), info.pr_psargs, sizeof info.pr_psargs - 1);
    for (ssize_t i = 0; i + 1 < n; ++i)
      if (info.pr_psargs[i] == '\0') info.pr_psargs[i] = ' ';
  }
}

// The faulting thread's status comes first: gdb shows it as the current thread.
bool writeCore(int fd, long self, const FaultContext& context) {
  const unsigned long page = static_cast<unsigned long>(::sysconf(_SC_PAGESIZE));
  static elf_prstatus status;
  static elf_prpsinfo processInfo;
  fillStatus(status, self, context.registers, context.signal, context.info.si_code);
  fillProcessInfo(processInfo);
  std::size_t stopped = 0;
  for (std::size_t i = 0; i < g_threadCount; ++i) stopped += g_threads[i].captured.load();

  const std::size_t segments = g_mappingCount + 1;
  const std::size_t notesOffset = sizeof(Elf64_Ehdr) + segments * sizeof(Elf64_Phdr);
  const std::size_t notesSize = (1 + stopped) * noteSize(sizeof status) + noteSize(sizeof processInfo) +
                                (g_auxvSize ? noteSize(g_auxvSize) : 0);
  std::size_t dataOffset = (notesOffset + notesSize + page - 1) / page * page;

  Elf64_Ehdr header{};
  std::memcpy(header.e_ident, ELFMAG, SELFMAG);
  header.e_ident[EI_CLASS] = ELFCLASS64;
  header.e_ident[EI_DATA] = ELFDATA2LSB;
  header.e_ident[EI_VERSION] = EV_CURRENT;
  header.e_type = ET_CORE;
#if defined(__x86_64__)
  header.e_machine = EM_X86_64;
#elif defined(__aarch64__)
  header.e_machine = EM_AARCH64;
#endif
  header.e_version = EV_CURRENT;
  header.e_phoff = sizeof(Elf64_Ehdr);
  header.e_ehsize = sizeof(Elf64_Ehdr);
  header.e_phentsize = sizeof(Elf64_Phdr);
  header.e_phnum = static_cast<Elf64_Half>(segments);
  if (!writeAll(fd, &header, sizeof header)) return false;

  Elf64_Phdr note{};
  note.p_type = PT_NOTE;
  note.p_offset = notesOffset;
  note.p_filesz = notesSize;
  if (!writeAll(fd, &note, sizeof note)) return false;
  std::size_t offset = dataOffset;
  for (std::size_t i = 0; i < g_mappingCount; ++i) {
    const Mapping& m = g_mappings[i];
    Elf64_Phdr load{};
    load.p_type = PT_LOAD;
    load.p_flags = (m.read ? PF_R : 0) | (m.write ? PF_W : 0) | (m.exec ? PF_X : 0);
    load.p_offset = offset;
    load.p_vaddr = m.start;
    load.p_memsz = m.end - m.start;
    load.p_filesz = load.p_memsz > kMaxMappingBytes ? 0 : load.p_memsz;
    load.p_align = page;
    offset += load.p_filesz;
    if (!writeAll(fd, &load, sizeof load)) return false;
  }

  if (!writeNote(fd, NT_PRSTATUS, &status, sizeof status) ||
      !writeNote(fd, NT_PRPSINFO, &processInfo, sizeof processInfo) ||
      (g_auxvSize && !writeNote(fd, NT_AUXV, g_auxv, g_auxvSize)))
    return false;
  // Counted once above: a thread that answers only now is left out.
  for (std::size_t i = 0, written = 0; i < g_threadCount && written < stopped; ++i) {
    if (!g_threads[i].captured.load()) continue;
    fillStatus(status, g_threads[i].tid.load(), g_threads[i].registers, 0, 0);
    if (!writeNote(fd, NT_PRSTATUS, &status, sizeof status)) return false;
    ++written;
  }
  if (!writeZeros(fd, dataOffset - notesOffset - notesSize)) return false;
  for (std::size_t i = 0; i < g_mappingCount; ++i) {
    const Mapping& m = g_mappings[i];
    if (m.end - m.start <= kMaxMappingBytes && !writeMemory(fd, m.start, m.end - m.start)) return false;
  }
  return true;
}

} // namespace

std::uint32_t prepareCoreDumps(std::u16string_view directory, std::u16string_view programName) {
  Result<std::string> host = hostPath(directory);
  if (!host.ok()) return host.code();
  const std::string prefix = host.value() + "/";
  const std::string name = utf8FromUtf16(programName);
  if (prefix.size() + name.size() + kStampLength >= sizeof g_path) return err::filenameExcedRange;
  const time_t now = ::time(nullptr);
  tm local{};
  if (!::localtime_r(&now, &local)) return posix::win32FromErrno(errno);
  WriterTurn turn; // not while a dump is being written
  std::memcpy(g_path, prefix.data(), prefix.size());
  std::memcpy(g_path + prefix.size(), name.data(), name.size());
  g_nameStart = prefix.size();
  g_prefixLength = prefix.size() + name.size();
  g_utcOffset = local.tm_gmtoff;
  installCaptureHandler();
  g_prepared.store(true, std::memory_order_release);
  return err::success;
}

std::u16string coreDumpFileName() {
  if (!g_prepared.load(std::memory_order_acquire)) return {};
  char stamp[kStampLength];
  formatStamp(stamp);
  return utf16FromUtf8(std::string(g_path + g_nameStart, g_prefixLength - g_nameStart) +
                       std::string(stamp, kStampLength));
}

std::uint32_t writeCoreDump(const FaultContext& context) {
  if (!g_prepared.load(std::memory_order_acquire)) return err::invalidHandle;
  WriterTurn turn;
  if (!turn.owned()) return err::invalidHandle;
  formatStamp(g_path + g_prefixLength);
  g_path[g_prefixLength + kStampLength] = '\0';
  posix::Fd fd(::open(g_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) return posix::win32FromErrno(errno);
  // The dump holds the process's memory: a file that was there already keeps no wider mode.
  if (::fchmod(fd.get(), 0600) != 0) return posix::win32FromErrno(errno);
  const long self = ::syscall(SYS_gettid);
  stopOtherThreads(self);
  struct Resume {
    ~Resume() { resumeOtherThreads(); }
  } resume;
  errno = 0;
  if (readMappings() && (readAuxv(), writeCore(fd.get(), self, context))) return err::success;
  return posix::win32FromErrno(errno ? errno : EIO);
}

} // namespace os
