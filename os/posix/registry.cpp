#include "os/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>

#include "os/posix/errno_map.h"
#include "os/registry_store.h"
#include "os/text.h"

namespace os::registry {
namespace {

constexpr char kDefaultStore[] = "/etc/tavrix/registry.reg";

constexpr std::uint32_t kQueryValue = 0x0001;
constexpr std::uint32_t kSetValue = 0x0002;
constexpr std::uint32_t kEnumerateSubKeys = 0x0008;
constexpr std::uint32_t kKeyRead = 0x00020019;
constexpr std::uint32_t kKeyWrite = 0x00020006;
constexpr std::uint32_t kKeyAllAccess = 0x000F003F;
constexpr std::uint32_t kGenericRead = 0x80000000;
constexpr std::uint32_t kGenericWrite = 0x40000000;
constexpr std::uint32_t kGenericExecute = 0x20000000;
constexpr std::uint32_t kGenericAll = 0x10000000;
constexpr std::uint32_t kMaximumAllowed = 0x02000000;

class Fd {
public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

private:
  int fd_;
};

std::string storePath() {
  const char* path = std::getenv("TAVRIX_REGISTRY");
  return path && *path ? path : kDefaultStore;
}

// What tells one version of the store file from another; a missing file is a version too.
struct Version {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t modifiedNs = 0;
  std::int64_t changedNs = 0;

  bool operator==(const Version&) const = default;
};

Version versionOf(const struct stat& st) {
  auto ns = [](const auto& t) { return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; };
  return {true, st.st_dev, st.st_ino, st.st_size, ns(st.st_mtim), ns(st.st_ctim)};
}

// One reading of the store: its content, or the failure that prevented it.
struct Snapshot {
  std::shared_ptr<const Store> store;
  std::uint32_t code = err::success;
  std::u16string problem; // the text of a badConfiguration failure
};

Snapshot failed(std::uint32_t code) { return {nullptr, code, {}}; }

thread_local std::u16string lastMalformed;

std::uint32_t noteFailure(const Snapshot& s) {
  if (s.code == err::badConfiguration) lastMalformed = s.problem;
  return s.code;
}

// Reads and parses the store file; `version` receives the version of what was read.
Snapshot readStore(const std::string& path, Version& version) {
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno != ENOENT) return failed(posix::win32FromErrno(errno));
    version = {};
    return {std::make_shared<const Store>(), err::success, {}};
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return failed(posix::win32FromErrno(errno));
  std::string bytes;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failed(posix::win32FromErrno(errno));
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  version = versionOf(st);
  ParseOutcome parsed = parseStore(bytes);
  if (parsed.error)
    return {nullptr, err::badConfiguration,
            u"Malformed registry file " + utf16FromUtf8(path) + u" line " +
                utf16FromUtf8(std::to_string(parsed.error->line)) + u": " + parsed.error->reason};
  return {std::make_shared<const Store>(std::move(parsed.store)), err::success, {}};
}

// The last reading of the store, kept until the file changes.
struct Cache {
  std::mutex mutex;
  bool filled = false;
  std::string path;
  Version version;
  Snapshot snapshot;

  void keep(const std::string& p, const Version& v, Snapshot s) {
    filled = true;
    path = p;
    version = v;
    snapshot = std::move(s);
  }
};

Cache& cache() {
  static Cache instance;
  return instance;
}

Snapshot currentSnapshot() {
  std::string path = storePath();
  Cache& c = cache();
  std::lock_guard lock(c.mutex);
  Version now;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) now = versionOf(st);
  else if (errno != ENOENT) return failed(posix::win32FromErrno(errno));
  if (c.filled && c.path == path && c.version == now) return c.snapshot;
  Version read;
  Snapshot s = readStore(path, read);
  if (s.code == err::success || s.code == err::badConfiguration) c.keep(path, read, s);
  return s;
}

// The code of a failure to create a file: a missing directory is pathNotFound.
std::uint32_t creationError(int error) {
  return error == ENOENT ? err::pathNotFound : posix::win32FromErrno(error);
}

std::uint32_t writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return posix::win32FromErrno(errno);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return err::success;
}

// Makes a finished rename durable; the store is already replaced when this runs.
void syncDirectory(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  Fd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) fsync(fd.get());
}

// Writes a temporary file beside the store with the owner and mode of the store (0644 for a new
// one) and renames it over the store. On failure the store is untouched and the temporary gone.
std::uint32_t replaceFile(const std::string& path, std::string_view bytes) {
  struct stat old;
  bool existed = stat(path.c_str(), &old) == 0;
  std::string temp = path + ".XXXXXX";
  Fd fd(mkostemp(temp.data(), O_CLOEXEC));
  if (!fd.valid()) return creationError(errno);
  std::uint32_t code = writeAll(fd.get(), bytes);
  if (!code && fchmod(fd.get(), existed ? old.st_mode & 07777 : 0644) != 0)
    code = posix::win32FromErrno(errno);
  // Keep the owner of the store; one who may not give the file away becomes its owner.
  if (!code && existed && (old.st_uid != geteuid() || old.st_gid != getegid()) &&
      fchown(fd.get(), old.st_uid, old.st_gid) != 0 && errno != EPERM)
    code = posix::win32FromErrno(errno);
  if (!code && fsync(fd.get()) != 0) code = posix::win32FromErrno(errno);
  if (!code && rename(temp.c_str(), path.c_str()) != 0) code = posix::win32FromErrno(errno);
  if (code) {
    unlink(temp.c_str());
    return code;
  }
  syncDirectory(path);
  return err::success;
}

// Applies `change` to the store under the writers' lock, reading the file afresh first; the
// file is replaced when `change` reports a modification.
std::uint32_t modify(const std::function<bool(Store&)>& change) {
  std::string path = storePath();
  Fd lock(open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!lock.valid()) return creationError(errno);
  while (flock(lock.get(), LOCK_EX) != 0)
    if (errno != EINTR) return posix::win32FromErrno(errno);
  Version version;
  Snapshot current = readStore(path, version);
  if (current.code) return noteFailure(current);
  auto updated = std::make_shared<Store>(*current.store);
  if (!change(*updated)) return err::success;
  if (std::uint32_t code = replaceFile(path, utf8FromUtf16(updated->text()))) return code;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    Cache& c = cache();
    std::lock_guard guard(c.mutex);
    c.keep(path, versionOf(st), {std::move(updated), err::success, {}});
  }
  return err::success;
}

// The key rights that `access` asks for, generic rights mapped, view flags dropped.
std::uint32_t grantedRights(std::uint32_t access) {
  std::uint32_t granted = access & ~(wow64Key32 | wow64Key64 | kGenericRead | kGenericWrite |
                                     kGenericExecute | kGenericAll | kMaximumAllowed);
  if (access & (kGenericRead | kGenericExecute)) granted |= kKeyRead;
  if (access & kGenericWrite) granted |= kKeyWrite;
  if (access & (kGenericAll | kMaximumAllowed)) granted |= kKeyAllAccess;
  return granted;
}

// The full path of a subkey in the view that `access` selects.
KeyPath keyPath(Root root, std::u16string_view subKey, std::uint32_t access) {
  KeyPath path = splitPath(subKey);
  path.insert(path.begin(), std::u16string(rootName(root)));
  bool software = root == Root::LocalMachine && path.size() >= 2 && foldCase(path[1]) == u"SOFTWARE";
  bool redirected = path.size() >= 3 && foldCase(path[2]) == u"WOW6432NODE";
  if (software && !redirected && !(access & wow64Key64)) path.insert(path.begin() + 2, u"WOW6432Node");
  return path;
}

// Names with line breaks cannot be written to the store.
bool writable(std::u16string_view name) { return name.find_first_of(u"\r\n") == name.npos; }

template <class T>
Result<T> failure(std::uint32_t code) {
  return Result<T>::failure(code);
}

} // namespace

Result<KeyHandle> openKey(Root root, std::u16string_view subKey, std::uint32_t access) {
  Snapshot s = currentSnapshot();
  if (s.code) return failure<KeyHandle>(noteFailure(s));
  KeyPath path = keyPath(root, subKey, access);
  if (!s.store->hasKey(path)) return failure<KeyHandle>(err::fileNotFound);
  return KeyHandle(joinPath(path), grantedRights(access));
}

Result<KeyHandle> createKey(Root root, std::u16string_view subKey, std::uint32_t access) {
  KeyPath path = keyPath(root, subKey, access);
  for (const std::u16string& name : path)
    if (!writable(name)) return failure<KeyHandle>(err::invalidParameter);
  Snapshot s = currentSnapshot();
  if (s.code) return failure<KeyHandle>(noteFailure(s));
  if (!s.store->hasKey(path)) {
    std::uint32_t code = modify([&](Store& store) {
      if (store.hasKey(path)) return false;
      store.createKey(path);
      return true;
    });
    if (code) return failure<KeyHandle>(code);
  }
  return KeyHandle(joinPath(path), grantedRights(access));
}

Result<Value> queryValue(const KeyHandle& key, std::u16string_view name) {
  if (!(key.access() & kQueryValue)) return failure<Value>(err::accessDenied);
  Snapshot s = currentSnapshot();
  if (s.code) return failure<Value>(noteFailure(s));
  std::optional<Value> value = s.store->value(splitPath(key.path()), name);
  if (!value) return failure<Value>(err::fileNotFound);
  return std::move(*value);
}

std::uint32_t setValue(const KeyHandle& key, const Value& value) {
  if (!(key.access() & kSetValue)) return err::accessDenied;
  if (!writable(value.name)) return err::invalidParameter;
  KeyPath path = splitPath(key.path());
  return modify([&](Store& store) {
    std::optional<Value> old = store.value(path, value.name);
    if (old && old->type == value.type && old->data == value.data) return false;
    store.setValue(path, value);
    return true;
  });
}

Result<std::u16string> enumSubkey(const KeyHandle& key, std::uint32_t index) {
  if (!(key.access() & kEnumerateSubKeys)) return failure<std::u16string>(err::accessDenied);
  Snapshot s = currentSnapshot();
  if (s.code) return failure<std::u16string>(noteFailure(s));
  KeyPath path = splitPath(key.path());
  if (!s.store->hasKey(path)) return failure<std::u16string>(err::fileNotFound);
  std::vector<std::u16string> names = s.store->subkeys(path);
  if (index >= names.size()) return failure<std::u16string>(err::noMoreItems);
  return std::move(names[index]);
}

Result<Value> enumValue(const KeyHandle& key, std::uint32_t index) {
  if (!(key.access() & kQueryValue)) return failure<Value>(err::accessDenied);
  Snapshot s = currentSnapshot();
  if (s.code) return failure<Value>(noteFailure(s));
  KeyPath path = splitPath(key.path());
  if (!s.store->hasKey(path)) return failure<Value>(err::fileNotFound);
  std::vector<Value> values = s.store->values(path);
  if (index >= values.size()) return failure<Value>(err::noMoreItems);
  return std::move(values[index]);
}

std::u16string malformedStoreMessage() { return lastMalformed; }

} // namespace os::registry
