#include "os/posix/landlock.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "os/path.h"
#include "os/posix/errno_map.h"

namespace os::posix::landlock {

namespace {

// The kernel's ABI values (linux/landlock.h), spelled here so that older headers build too.
constexpr std::uint32_t createRulesetVersion = 1U << 0;
constexpr int rulePathBeneath = 1;
constexpr std::uint64_t execute = 1ULL << 0, writeFile = 1ULL << 1, readFile = 1ULL << 2, readDir = 1ULL << 3;
// Making and removing entries, ABI 1: remove dir, remove file, make char/dir/reg/sock/fifo/block/sym.
constexpr std::uint64_t changeEntries = 0x1FF0ULL;
constexpr std::uint64_t refer = 1ULL << 13;    // ABI 2
constexpr std::uint64_t truncate = 1ULL << 14; // ABI 3
constexpr std::uint64_t ioctlDev = 1ULL << 15; // ABI 5
// Rights that a rule on a file (not a directory) may carry.
constexpr std::uint64_t fileRights = execute | writeFile | readFile | truncate | ioctlDev;

struct RulesetAttr {
  std::uint64_t handledAccessFs;
};
struct PathBeneathAttr {
  std::uint64_t allowedAccess;
  std::int32_t parentFd;
} __attribute__((packed));

std::uint64_t handledRights(int abi) {
  std::uint64_t rights = execute | writeFile | readFile | readDir | changeEntries;
  if (abi >= 2) rights |= refer;
  if (abi >= 3) rights |= truncate;
  if (abi >= 5) rights |= ioctlDev;
  return rights;
}

// Adds a rule for the object open at fd; rights a file cannot carry are dropped for a file.
int addRule(int ruleset, int fd, std::uint64_t rights, bool directory) {
  PathBeneathAttr rule{directory ? rights : rights & fileRights, fd};
  return ::syscall(SYS_landlock_add_rule, ruleset, rulePathBeneath, &rule, 0) == 0 ? 0 : errno;
}

std::uint32_t addPath(int ruleset, const std::u16string& path, std::uint64_t rights) {
  Result<std::string> host = hostPath(path);
  if (!host.ok()) return err::success; // an unmapped drive names nothing on this host
  Fd object(::open(host.value().c_str(), O_PATH | O_CLOEXEC));
  if (!object) return errno == ENOENT || errno == ENOTDIR ? err::success : win32FromErrno(errno);
  struct stat st {};
  if (::fstat(object.get(), &st) != 0) return win32FromErrno(errno);
  const int rc = addRule(ruleset, object.get(), rights, S_ISDIR(st.st_mode));
  return rc == 0 ? err::success : win32FromErrno(rc);
}

} // namespace

int version() {
  static const int abi = [] {
    const long rc = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, createRulesetVersion);
    return rc < 0 ? 0 : static_cast<int>(rc);
  }();
  return abi;
}

Result<Fd> ruleset(const Confinement& confinement) {
  const int abi = version();
  if (abi == 0) return Fd();
  const std::uint64_t all = handledRights(abi);
  RulesetAttr attr{all};
  Fd rules(static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0)));
  if (!rules) return Result<Fd>::failure(win32FromErrno(errno));
  const std::uint64_t readOnly = readFile | readDir;
  const std::uint64_t device = readFile | writeFile | (all & (truncate | ioctlDev));
  struct Group {
    const std::vector<std::u16string>* paths;
    std::uint64_t rights;
  };
  const std::vector<std::u16string> devices = {u"/dev/null", u"/dev/zero", u"/dev/urandom"};
  for (const Group& group : {Group{&confinement.readExecute, readOnly | execute}, Group{&confinement.read, readOnly},
                             Group{&confinement.readWrite, all}, Group{&devices, device}})
    for (const std::u16string& path : *group.paths)
      if (std::uint32_t rc = addPath(rules.get(), path, group.rights)) return Result<Fd>::failure(rc);
  return rules;
}

int restrictSelf(int ruleset) {
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errno;
  if (ruleset < 0) return 0;
  // /proc/self is a link to the process's own directory: resolved here, in the child, it names
  // this process (and, after exec, the program), not the service.
  const int self = ::open("/proc/self", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (self < 0) return errno;
  const int rc = addRule(ruleset, self, readFile | readDir, true);
  ::close(self);
  if (rc != 0) return rc;
  return ::syscall(SYS_landlock_restrict_self, ruleset, 0) == 0 ? 0 : errno;
}

} // namespace os::posix::landlock
