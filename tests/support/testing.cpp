#include "tests/support/testing.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/fanotify.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "os/accounts.h"
#include "os/text.h"

extern char** environ;

namespace testing_support {

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
  if (const char* earlier = std::getenv(name_.c_str())) saved_ = earlier;
  ::setenv(name_.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (saved_) ::setenv(name_.c_str(), saved_->c_str(), 1);
  else ::unsetenv(name_.c_str());
}

std::string u8(std::u16string_view text) { return os::utf8FromUtf16(text); }

TempDir::TempDir() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/tavrix-test-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void writeFile(const std::string& path, std::string_view content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::map<std::string, std::string> changeTimes(const std::string& path) {
  std::map<std::string, std::string> times;
  auto add = [&](const std::string& name) {
    struct stat st {};
    if (lstat(name.c_str(), &st) == 0)
      times[name] = std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec);
  };
  add(path);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(path))
    add(entry.path().string());
  return times;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

ScopedRegistry::ScopedRegistry(std::string_view body)
    : file_(dir_.file("registry.reg")), variable_("TAVRIX_REGISTRY", file_) {
  write(body);
}

void ScopedRegistry::write(std::string_view body) {
  writeFile(file_, "Windows Registry Editor Version 5.00\n\n" + std::string(body));
}

ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& environment,
                         std::chrono::milliseconds timeout) {
  // The output goes to memory files: read once the program has ended, and never a pipe that a
  // program it left running keeps open.
  const os::posix::Fd out(memfd_create("out", MFD_CLOEXEC)), err(memfd_create("err", MFD_CLOEXEC));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, err.get(), 2);

  // The environment, with `environment`'s variables set over it.
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e)
    if (!environment.contains(std::string(*e, std::strcspn(*e, "=")))) envStrings.push_back(*e);
  for (const auto& [k, v] : environment) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp, args;
  for (auto& s : envStrings) envp.push_back(s.data());
  for (const auto& s : argv) args.push_back(const_cast<char*>(s.c_str()));
  envp.push_back(nullptr);
  args.push_back(nullptr);

  pid_t pid;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);

  ProcessResult result;
  const os::posix::Fd ended(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  pollfd ready{ended.get(), POLLIN, 0};
  int polled;
  while ((polled = poll(&ready, 1, static_cast<int>(timeout.count()))) < 0 && errno == EINTR) {
  }
  if (polled == 0) {
    result.timedOut = true;
    kill(pid, SIGKILL);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = readFile("/proc/self/fd/" + std::to_string(out.get()));
  result.err = readFile("/proc/self/fd/" + std::to_string(err.get()));
  return result;
}

Pipe makePipe() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  return {os::posix::Fd(ends[0]), os::posix::Fd(ends[1])};
}

PermissionGate::PermissionGate(const std::string& path, std::uint64_t mask, std::function<void(int pid)> onEvent)
    : watch_(fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC)), stop_(makePipe()) {
  if (!watch_.valid() || fanotify_mark(watch_.get(), FAN_MARK_ADD, mask, AT_FDCWD, path.c_str()) != 0) return;
  thread_ = std::thread([this, onEvent = std::move(onEvent)] {
    pollfd ready[2] = {{watch_.get(), POLLIN, 0}, {stop_.readEnd.get(), POLLIN, 0}};
    while (::poll(ready, 2, -1) > 0 && ready[1].revents == 0) {
      fanotify_event_metadata event;
      if (::read(watch_.get(), &event, sizeof event) != sizeof event) break;
      onEvent(event.pid);
      const fanotify_response allow{event.fd, FAN_ALLOW};
      (void)!::write(watch_.get(), &allow, sizeof allow);
      ::close(event.fd);
    }
  });
}

void PermissionGate::open() {
  stop_.writeEnd.reset();
  if (thread_.joinable()) thread_.join();
  watch_.reset();
}

Lockers lockersOf(const std::string& file) {
  Lockers found;
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return found;
  // "1: FLOCK  ADVISORY  WRITE 1234 fd:00:5678 0 EOF", a waiter with "->" before the kind; the
  // device in hex.
  char id[64];
  std::snprintf(id, sizeof id, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  std::istringstream locks(readFile("/proc/locks"));
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, advisory, mode, where;
    int pid = 0;
    fields >> number >> kind;
    const bool waiting = kind == "->";
    if (waiting) fields >> kind;
    fields >> advisory >> mode >> pid >> where;
    if (where == id) (waiting ? found.waiters : found.holders).insert(pid);
  }
  return found;
}

int threadId() { return static_cast<int>(::gettid()); }

void waitUntilAsleep(int threadId) {
  const std::string stat = "/proc/self/task/" + std::to_string(threadId) + "/stat";
  for (;;) {
    // "<id> (<name>) <state> ...": the name may hold spaces and parentheses.
    const std::string fields = readFile(stat);
    if (fields.empty()) return; // the thread has ended
    const std::size_t end = fields.rfind(')');
    if (end != std::string::npos && end + 2 < fields.size() && fields[end + 2] == 'S') return;
    std::this_thread::yield();
  }
}

namespace {

std::uint32_t randomId() {
  static std::mt19937 random{std::random_device{}()};
  return std::uniform_int_distribution<std::uint32_t>(1000000, 1999999999)(random);
}

bool succeeds(const std::vector<std::string>& argv) { return runProcess(argv).exitCode == 0; }

// The account tools fail at once while another process holds the account files' lock (tests
// of other executables create accounts at the same time), so they are tried again for a while.
bool retried(const std::function<bool()>& attempt) {
  for (int tries = 0; tries < 100; ++tries) {
    if (attempt()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// Adds an account named after an id drawn from a range far above the ones the system hands out
// (so that ids freed by one test are not reused by another running at the same time), with a
// new id on each try: the name, empty when every try failed.
std::string addAccount(const char* tool, const char* idOption, std::vector<std::string> options, std::uint32_t& id) {
  std::string name;
  const bool added = retried([&] {
    id = randomId();
    name = std::string(idOption[1] == 'g' ? "tvxg" : "tvxu") + std::to_string(id);
    std::vector<std::string> argv = {tool, idOption, std::to_string(id)};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(name);
    return succeeds(argv);
  });
  return added ? name : std::string();
}

} // namespace

ScopedGroup::ScopedGroup() {
  name_ = addAccount("/usr/sbin/groupadd", "-g", {}, gid_);
  ok_ = !name_.empty();
}

ScopedGroup::~ScopedGroup() {
  if (ok_) retried([&] { return succeeds({"/usr/sbin/groupdel", name_}); });
}

ScopedUser::ScopedUser() { create({"-U"}); }

ScopedUser::ScopedUser(const ScopedGroup& primary, const std::vector<const ScopedGroup*>& supplementary) {
  if (!primary.ok()) return;
  std::vector<std::string> options = {"-N", "-g", primary.name()};
  std::string groups;
  for (const ScopedGroup* group : supplementary) groups += (groups.empty() ? "" : ",") + group->name();
  if (!groups.empty()) options.insert(options.end(), {"-G", groups});
  create(options);
}

void ScopedUser::create(std::vector<std::string> options) {
  options.insert(options.begin(), "-M");
  name_ = addAccount("/usr/sbin/useradd", "-u", options, uid_);
  os::Result<os::UserAccount> account = os::userByName(os::utf16FromUtf8(name_));
  ok_ = !name_.empty() && account.ok();
  if (ok_) gid_ = account.value().gid;
}

ScopedUser::~ScopedUser() {
  // -U made a group of the user's own, which userdel removes with it.
  if (ok_) retried([&] { return succeeds({"/usr/sbin/userdel", name_}); });
}

namespace {

// The value of a "Name:\tvalue" line of /proc/<pid>/status.
std::string statusField(const std::string& status, const std::string& name) {
  const std::size_t at = status.find("\n" + name + ":\t");
  if (at == std::string::npos) return {};
  const std::size_t begin = at + name.size() + 3;
  return status.substr(begin, status.find('\n', begin) - begin);
}

bool killPending(const std::string& mask) {
  return !mask.empty() && (std::stoull(mask, nullptr, 16) & (1ULL << (SIGKILL - 1))) != 0;
}

} // namespace

std::vector<std::string> liveProcessesOf(std::uint32_t uid) {
  constexpr unsigned kExiting = 0x4; // PF_EXITING in the flags of /proc/<pid>/stat
  std::vector<std::string> live;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    // A process gone meanwhile reads as empty: no uid.
    const std::string status = "\n" + readFile("/proc/" + pid + "/status");
    const std::string stat = readFile("/proc/" + pid + "/stat");
    const std::string uids = statusField(status, "Uid");
    if (uids.substr(0, uids.find('\t')) != std::to_string(uid)) continue;
    const std::string state = statusField(status, "State");
    // The fields after the command's closing parenthesis: state, ppid, pgrp, session, tty,
    // tpgid, flags.
    std::istringstream after(stat.substr(stat.rfind(')') + 1));
    std::string field;
    unsigned flags = 0;
    for (int i = 0; i < 6; ++i) after >> field;
    after >> flags;
    if (state.starts_with("Z") || state.starts_with("X") || (flags & kExiting) ||
        killPending(statusField(status, "SigPnd")) || killPending(statusField(status, "ShdPnd")))
      continue;
    live.push_back(pid + " " + statusField(status, "Name"));
  }
  return live;
}

ParentOf parentOf(const std::string& hostPath) {
  ParentOf parent;
  os::Result<os::Root> root = os::Root::openParent(os::utf16FromUtf8(hostPath), parent.name);
  if (root.ok()) parent.root = std::move(root.value());
  return parent;
}

os::Result<os::SecurityObject> securityObjectAt(const std::string& hostPath) {
  ParentOf parent = parentOf(hostPath);
  if (!parent.root.valid()) return os::Result<os::SecurityObject>::failure(os::err::pathNotFound);
  return os::SecurityObject::open(parent.root, parent.name);
}

std::string binary(std::string_view name) {
  const char* dir = std::getenv("TAVRIX_BIN");
  return std::string(dir ? dir : "build/bin") + "/" + std::string(name);
}

bool launcherRefuses(std::string_view name) {
  const char* list = std::getenv("TAVRIX_ENOSYS");
  std::istringstream calls(list ? list : "");
  for (std::string call; std::getline(calls, call, ',');)
    if (call == name) return true;
  return false;
}

} // namespace testing_support
