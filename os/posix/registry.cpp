#include "os/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "os/posix/errno_map.h"
#include "os/posix/fd.h"
#include "os/posix/io.h"
#include "os/posix/leftovers.h"
#include "os/posix/lock_area.h"
#include "os/registry_store.h"
#include "os/text.h"

namespace os::registry {
namespace {

using posix::Fd;

constexpr char kOperatorStore[] = "/etc/tavrix/registry.reg";
constexpr char kToolStore[] = "/var/lib/tavrix/registry.reg";

std::string fromEnvironment(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  return value && *value ? value : fallback;
}

// The two files of the store; the same file twice when TAVRIX_REGISTRY names one. That file
// must exist: a misspelt name would otherwise read as an empty store and be created by the
// first write, hiding the mistake.
struct Files {
  std::string operatorFile;
  std::string toolFile;
  bool named = false;
};

Files storeFiles() {
  if (const char* single = std::getenv("TAVRIX_REGISTRY"); single && *single) return {single, single, true};
  return {fromEnvironment("TAVRIX_OPERATOR_REGISTRY", kOperatorStore),
          fromEnvironment("TAVRIX_TOOL_REGISTRY", kToolStore)};
}

// What tells one version of a store file from another; a missing file is a version too.
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

using StorePtr = std::shared_ptr<const Store>;
// One reading of a store file: its content, or the failure that prevented it.
using Snapshot = Result<StorePtr>;

Result<std::string> readAll(int fd) {
  std::string bytes;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) return bytes;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Result<std::string>::failure(posix::win32FromErrno(errno));
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
}

// Reads and parses a store file; `version` receives the version of what was read.
Snapshot readStore(const std::string& path, Version& version) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno != ENOENT) return Snapshot::failure(posix::win32FromErrno(errno));
    version = {};
    return StorePtr(std::make_shared<const Store>());
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return Snapshot::failure(posix::win32FromErrno(errno));
  Result<std::string> bytes = readAll(fd.get());
  if (!bytes.ok()) return bytes.error();
  version = versionOf(st);
  ParseOutcome parsed = parseStore(bytes.value());
  if (parsed.error)
    return Snapshot::failure(err::badConfiguration,
                             u"Malformed registry file " + utf16FromUtf8(path) + u" line " +
                                 utf16FromUtf8(std::to_string(parsed.error->line)) + u": " +
                                 parsed.error->reason);
  return StorePtr(std::make_shared<const Store>(std::move(parsed.store)));
}

// The last reading of each store file, kept until the file changes. A malformed file is kept
// too: it stays malformed until it changes.
class Cache {
public:
  // `named`: the file was named by TAVRIX_REGISTRY, and its absence is a failure.
  Snapshot current(const std::string& path, bool named) {
    std::lock_guard lock(mutex_);
    Version now;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) now = versionOf(st);
    else if (errno != ENOENT) return Snapshot::failure(posix::win32FromErrno(errno));
    else if (named)
      return Snapshot::failure(err::badConfiguration,
                               u"Registry file " + utf16FromUtf8(path) + u" named by TAVRIX_REGISTRY does not exist");
    auto kept = entries_.find(path);
    if (kept != entries_.end() && kept->second.version == now) return kept->second.snapshot;
    Version read;
    Snapshot s = readStore(path, read);
    if (s.ok() || s.code() == err::badConfiguration) keepLocked(path, read, s);
    return s;
  }

  void keep(const std::string& path, const Version& version, Snapshot snapshot) {
    std::lock_guard lock(mutex_);
    keepLocked(path, version, std::move(snapshot));
  }

private:
  struct Entry {
    Version version;
    Snapshot snapshot;
  };
  void keepLocked(const std::string& path, const Version& version, Snapshot snapshot) {
    entries_.insert_or_assign(path, Entry{version, std::move(snapshot)});
  }

  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

Cache& cache() {
  static Cache instance;
  return instance;
}

// The store as readers see it: the operator's file, then what the tool's file adds.
Snapshot currentStore() {
  Files files = storeFiles();
  Snapshot operatorLayer = cache().current(files.operatorFile, files.named);
  if (!operatorLayer.ok() || files.toolFile == files.operatorFile) return operatorLayer;
  Snapshot toolLayer = cache().current(files.toolFile, false);
  if (!toolLayer.ok()) return toolLayer;
  if (operatorLayer.value()->empty()) return toolLayer;
  auto merged = std::make_shared<Store>(*operatorLayer.value());
  merged->addMissing(*toolLayer.value());
  return StorePtr(std::move(merged));
}

std::string directoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Makes a finished rename durable; the store is already replaced when this runs.
void syncDirectory(const std::string& path) {
  Fd fd(::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) ::fsync(fd.get());
}

bool temporaryNameCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Removes the "<store>.XXXXXX" files of writers killed before their rename. Only writers that
// hold the writers' lock make them, so none of them belongs to a live writer.
void removeKilledWritersFiles(const std::string& path) {
  Fd directory(::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory.valid()) return;
  const std::string prefix = path.substr(path.rfind('/') + 1) + ".";
  posix::removeLeftovers(directory.get(), [&](std::string_view name) {
    return posix::matchesTemporary(name, prefix, 6, temporaryNameCharacter, "");
  });
}

// Writes a temporary file beside the store with the owner and mode of the store (0644 for a new
// one) and renames it over the store. The caller holds the writers' lock. On failure the store
// is untouched and the temporary gone.
std::uint32_t replaceFile(const std::string& path, std::string_view bytes) {
  removeKilledWritersFiles(path);
  struct stat old;
  bool existed = ::stat(path.c_str(), &old) == 0;
  std::string temp = path + ".XXXXXX";
  Fd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd.valid()) return posix::missingObjectCode(errno, posix::Missing::directoryOnTheWay);
  std::uint32_t code = posix::writeAll(fd.get(), bytes);
  if (!code && ::fchmod(fd.get(), existed ? old.st_mode & 07777 : 0644) != 0)
    code = posix::win32FromErrno(errno);
  // Keep the owner of the store; one who may not give the file away becomes its owner.
  if (!code && existed && (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) &&
      ::fchown(fd.get(), old.st_uid, old.st_gid) != 0 && errno != EPERM)
    code = posix::win32FromErrno(errno);
  if (!code && ::fsync(fd.get()) != 0) code = posix::win32FromErrno(errno);
  if (!code && ::rename(temp.c_str(), path.c_str()) != 0) code = posix::win32FromErrno(errno);
  if (code) {
    ::unlink(temp.c_str());
    return code;
  }
  syncDirectory(path);
  return err::success;
}

// The tool's own directory is made on first use (its parent must exist).
std::uint32_t ensureStoreDirectory(const std::string& path) {
  if (::mkdir(directoryOf(path).c_str(), 0755) == 0 || errno == EEXIST) return err::success;
  return posix::missingObjectCode(errno, posix::Missing::directoryOnTheWay);
}

// The writers' lock "<store>.lock": a private lock file (os/posix/lock_area.h), since one that
// another account can open is one it can hold, stopping every write.
Result<Fd> openWritersLock(const std::string& path) {
  const std::string directory = directoryOf(path);
  Fd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return Result<Fd>::failure(posix::missingObjectCode(errno, posix::Missing::directoryOnTheWay));
  return posix::openLockFile(fd.get(), directory, path.substr(path.rfind('/') + 1) + ".lock");
}

// Applies `change` to the tool's file under the writers' lock, reading the file afresh first;
// the file is replaced when `change` reports a modification. True when it was.
Result<bool> modifyToolStore(const std::function<bool(Store&)>& change) {
  const std::string path = storeFiles().toolFile;
  if (std::uint32_t code = ensureStoreDirectory(path)) return Result<bool>::failure(code);
  Result<Fd> lock = openWritersLock(path);
  if (!lock.ok()) return lock.error();
  while (::flock(lock.value().get(), LOCK_EX) != 0)
    if (errno != EINTR) return Result<bool>::failure(posix::win32FromErrno(errno));
  Version version;
  Snapshot current = readStore(path, version);
  if (!current.ok()) return current.error();
  auto updated = std::make_shared<Store>(*current.value());
  if (!change(*updated)) return false;
  if (std::uint32_t code = replaceFile(path, utf8FromUtf16(updated->text())))
    return Result<bool>::failure(code);
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) cache().keep(path, versionOf(st), StorePtr(std::move(updated)));
  return true;
}

// The key rights that `access` asks for, generic rights mapped, view flags dropped.
std::uint32_t grantedRights(std::uint32_t access) {
  std::uint32_t granted = access & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY | GENERIC_READ |
                                     GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (access & (GENERIC_READ | GENERIC_EXECUTE)) granted |= KEY_READ;
  if (access & GENERIC_WRITE) granted |= KEY_WRITE;
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= KEY_ALL_ACCESS;
  return granted;
}

// The full path of a subkey in the view that `access` selects.
KeyPath keyPath(Root root, std::u16string_view subKey, std::uint32_t access) {
  KeyPath path = splitPath(subKey);
  path.insert(path.begin(), std::u16string(rootName(root)));
  bool software = root == Root::LocalMachine && path.size() >= 2 && foldCase(path[1]) == u"SOFTWARE";
  bool redirected = path.size() >= 3 && foldCase(path[2]) == u"WOW6432NODE";
  if (software && !redirected && !(access & KEY_WOW64_64KEY)) path.insert(path.begin() + 2, u"WOW6432Node");
  return path;
}

// Names with line breaks cannot be written to the store.
bool writable(std::u16string_view name) { return name.find_first_of(u"\r\n") == name.npos; }

template <class T>
Result<T> failure(std::uint32_t code) {
  return Result<T>::failure(code);
}

// The store and the key path of an open key that needs `right`; the key must exist.
struct Opened {
  StorePtr store;
  KeyPath path;
};

Result<Opened> openedKey(const KeyHandle& key, std::uint32_t right) {
  if (!(key.access() & right)) return failure<Opened>(err::accessDenied);
  Snapshot s = currentStore();
  if (!s.ok()) return s.error();
  KeyPath path = splitPath(key.path());
  if (!s.value()->hasKey(path)) return failure<Opened>(err::fileNotFound);
  return Opened{std::move(s.value()), std::move(path)};
}

} // namespace

Result<KeyHandle> openKey(Root root, std::u16string_view subKey, std::uint32_t access) {
  Snapshot s = currentStore();
  if (!s.ok()) return s.error();
  KeyPath path = keyPath(root, subKey, access);
  if (!s.value()->hasKey(path)) return failure<KeyHandle>(err::fileNotFound);
  return KeyHandle(joinPath(path), grantedRights(access));
}

Result<KeyHandle> createKey(Root root, std::u16string_view subKey, std::uint32_t access) {
  KeyPath path = keyPath(root, subKey, access);
  for (const std::u16string& name : path)
    if (!writable(name)) return failure<KeyHandle>(err::invalidParameter);
  Snapshot s = currentStore();
  if (!s.ok()) return s.error();
  if (!s.value()->hasKey(path)) {
    Result<bool> created = modifyToolStore([&](Store& store) {
      if (store.hasKey(path)) return false;
      store.createKey(path);
      return true;
    });
    if (!created.ok()) return created.error();
  }
  return KeyHandle(joinPath(path), grantedRights(access));
}

Result<Value> queryValue(const KeyHandle& key, std::u16string_view name) {
  if (!(key.access() & KEY_QUERY_VALUE)) return failure<Value>(err::accessDenied);
  Snapshot s = currentStore();
  if (!s.ok()) return s.error();
  std::optional<Value> value = s.value()->value(splitPath(key.path()), name);
  if (!value) return failure<Value>(err::fileNotFound);
  return std::move(*value);
}

Result<bool> setValue(const KeyHandle& key, const Value& value) {
  if (!(key.access() & KEY_SET_VALUE)) return failure<bool>(err::accessDenied);
  if (!writable(value.name)) return failure<bool>(err::invalidParameter);
  KeyPath path = splitPath(key.path());
  auto holds = [&](const Store& store) {
    std::optional<Value> old = store.value(path, value.name);
    return old && old->type == value.type && old->data == value.data;
  };
  // What readers already see needs no write; the operator's file is never written.
  Snapshot s = currentStore();
  if (!s.ok()) return s.error();
  if (holds(*s.value())) return false;
  return modifyToolStore([&](Store& store) {
    if (holds(store)) return false;
    store.setValue(path, value);
    return true;
  });
}

Result<std::u16string> enumSubkey(const KeyHandle& key, std::uint32_t index) {
  Result<Opened> opened = openedKey(key, KEY_ENUMERATE_SUB_KEYS);
  if (!opened.ok()) return opened.error();
  std::vector<std::u16string> names = opened.value().store->subkeys(opened.value().path);
  if (index >= names.size()) return failure<std::u16string>(err::noMoreItems);
  return std::move(names[index]);
}

Result<Value> enumValue(const KeyHandle& key, std::uint32_t index) {
  Result<Opened> opened = openedKey(key, KEY_QUERY_VALUE);
  if (!opened.ok()) return opened.error();
  std::vector<Value> values = opened.value().store->values(opened.value().path);
  if (index >= values.size()) return failure<Value>(err::noMoreItems);
  return std::move(values[index]);
}

} // namespace os::registry
