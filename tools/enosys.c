// tavrix-enosys: runs a command as if the kernel lacked some system calls.
//
//   tavrix-enosys openat2,getxattrat,listxattrat -- command args...
//
// Installs a seccomp filter under which each named call fails with ENOSYS, then executes the
// command. The filter is inherited across fork and exec, so the command and everything it starts
// (the tests, the tool, the services) take the paths the code keeps for older kernels. The list
// is also exported as TAVRIX_ENOSYS, so that a test can tell it runs under the filter.
//
// A test tool: it is built into build/bin but never installed.
#define _GNU_SOURCE
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

// Calls newer than some kernels the tool runs on; the header's number where it has one.
#ifndef __NR_openat2
#define __NR_openat2 437
#endif
#ifndef __NR_getxattrat
#define __NR_getxattrat 464
#endif
#ifndef __NR_listxattrat
#define __NR_listxattrat 465
#endif

static const struct {
  const char* name;
  int number;
} kCalls[] = {
    {"openat2", __NR_openat2},
    {"getxattrat", __NR_getxattrat},
    {"listxattrat", __NR_listxattrat},
};
enum { kCallCount = sizeof kCalls / sizeof kCalls[0] };

static int fail(const char* message, const char* detail) {
  fprintf(stderr, "tavrix-enosys: %s%s\n", message, detail);
  return 2;
}

// Fills numbers with the calls the comma-separated list names, each once; their count, or -1
// after reporting a name it does not know.
static int parseList(char* list, int* numbers) {
  int named[kCallCount] = {0};
  for (char* name = strtok(list, ","); name; name = strtok(NULL, ",")) {
    int i = 0;
    while (i < kCallCount && strcmp(kCalls[i].name, name) != 0) ++i;
    if (i == kCallCount) {
      fail("unknown system call: ", name);
      return -1;
    }
    named[i] = 1;
  }
  int count = 0;
  for (int i = 0; i < kCallCount; ++i)
    if (named[i]) numbers[count++] = kCalls[i].number;
  if (count == 0) fail("no system call named", "");
  return count ? count : -1;
}

// Native x86_64 calls whose number is listed fail with ENOSYS; everything else, other
// architectures' calls (whose numbers mean other calls) included, is allowed.
static int installFilter(const int* numbers, int count) {
  struct sock_filter program[4 + kCallCount + 2];
  int n = 0;
  program[n++] = (struct sock_filter)BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch));
  program[n++] = (struct sock_filter)BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0);
  program[n++] = (struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
  program[n++] = (struct sock_filter)BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr));
  for (int i = 0; i < count; ++i) {
    // Jumps to the ENOSYS return, past the remaining comparisons and the allow.
    unsigned char toDeny = (unsigned char)(count - i);
    program[n++] = (struct sock_filter)BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (unsigned)numbers[i], toDeny, 0);
  }
  program[n++] = (struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
  program[n++] = (struct sock_filter)BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA));
  struct sock_fprog fprog = {.len = (unsigned short)n, .filter = program};
  // Without it an unprivileged caller may not install a filter; as root it only keeps setuid
  // programs from gaining privileges, which root has already.
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return fail("PR_SET_NO_NEW_PRIVS: ", strerror(errno));
  if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) != 0) return fail("PR_SET_SECCOMP: ", strerror(errno));
  return 0;
}

int main(int argc, char** argv) {
#ifndef __x86_64__
  (void)argc;
  (void)argv;
  return fail("the filter knows the system call numbers of x86_64 only", "");
#else
  if (argc < 4 || strcmp(argv[2], "--") != 0)
    return fail("usage: tavrix-enosys call[,call...] -- command [args...]", "");
  if (setenv("TAVRIX_ENOSYS", argv[1], 1) != 0) return fail("setenv: ", strerror(errno));
  int numbers[kCallCount];
  int count = parseList(argv[1], numbers);
  if (count < 0) return 2;
  if (installFilter(numbers, count) != 0) return 2;
  execvp(argv[3], argv + 3);
  fprintf(stderr, "tavrix-enosys: %s: %s\n", argv[3], strerror(errno));
  return 127;
#endif
}
