#include "os/security_store.h"

#include <acl/libacl.h>
#include <fcntl.h>
#include <linux/posix_acl_xattr.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cerrno>
#include <memory>
#include <string_view>

#include "os/path_grammar.h"
#include "os/path.h"
#include "os/posix/beneath.h"
#include "os/posix/errno_map.h"
#include "os/posix/fd.h"
#include "os/posix/file_ops.h"
#include "os/posix/walker.h"
#include "os/text.h"

namespace os {
namespace {

constexpr const char* kDescriptorName = "trusted.tavrix.ntacl";
constexpr int kObjectFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

struct AclFree {
  void operator()(void* object) const { acl_free(object); }
};
using AclPtr = std::unique_ptr<std::remove_pointer_t<acl_t>, AclFree>;

std::uint32_t lastCode() { return posix::win32FromErrno(errno); }

// The descriptor through /proc, for the calls that only take paths (default ACLs).
std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

bool securable(mode_t mode) { return S_ISREG(mode) || S_ISDIR(mode); }

// Symbolic links are refused with 1921 (as ELOOP), other kinds of file with 5.
std::uint32_t kindCode(mode_t mode) {
  if (securable(mode)) return err::success;
  return S_ISLNK(mode) ? err::cantResolveFilename : err::accessDenied;
}

constexpr struct {
  acl_tag_t posix;
  AclTag tag;
} kTags[] = {{ACL_USER_OBJ, AclTag::UserObj},   {ACL_USER, AclTag::User},
             {ACL_GROUP_OBJ, AclTag::GroupObj}, {ACL_GROUP, AclTag::Group},
             {ACL_MASK, AclTag::Mask},          {ACL_OTHER, AclTag::Other}};

constexpr struct {
  acl_perm_t posix;
  std::uint8_t bit;
} kPerms[] = {{ACL_READ, os::permRead}, {ACL_WRITE, os::permWrite}, {ACL_EXECUTE, os::permExecute}};

// The base entries that the mode bits stand for, where the file system keeps no ACL.
PosixAcl modeEntries(mode_t mode) {
  return {{AclTag::UserObj, 0, static_cast<std::uint8_t>((mode >> 6) & 7)},
          {AclTag::GroupObj, 0, static_cast<std::uint8_t>((mode >> 3) & 7)},
          {AclTag::Other, 0, static_cast<std::uint8_t>(mode & 7)}};
}

// The library's ACL of the entries; null (errno set) on failure.
AclPtr toAcl(const PosixAcl& entries) {
  AclPtr acl(acl_init(static_cast<int>(entries.size())));
  if (!acl) return nullptr;
  for (const AclEntry& e : entries) {
    acl_entry_t entry;
    acl_permset_t permset;
    if (acl_create_entry(reinterpret_cast<acl_t*>(&acl), &entry) != 0) return nullptr;
    for (const auto& t : kTags)
      if (t.tag == e.tag && acl_set_tag_type(entry, t.posix) != 0) return nullptr;
    if ((e.tag == AclTag::User || e.tag == AclTag::Group) && acl_set_qualifier(entry, &e.id) != 0)
      return nullptr;
    if (acl_get_permset(entry, &permset) != 0 || acl_clear_perms(permset) != 0) return nullptr;
    for (const auto& p : kPerms)
      if ((e.perms & p.bit) && acl_add_perm(permset, p.posix) != 0) return nullptr;
  }
  return acl;
}

// The calls that read attributes by name relative to a directory descriptor (Linux 6.13),
// with their numbers, which glibc does not name yet.
constexpr long kGetXattrAt = 464, kListXattrAt = 465;
struct XattrArgs {
  std::uint64_t value;
  std::uint32_t size;
  std::uint32_t flags;
};
// Whether the host has them; cleared by the first call that finds it does not.
std::atomic<bool> xattrAtAvailable{true};

// Where the attributes of an object are read: through its descriptor, or by its name in an
// open directory, never following a link in the last component, for a file the walk has not
// opened: relative to the directory's descriptor where the host can, else through /proc.
struct AttributeSource {
  int fd = -1;
  int directory = -1; // with name, when fd < 0
  std::string name;

  ssize_t list(char* names, std::size_t size) const {
    if (fd >= 0) return flistxattr(fd, names, size);
    if (xattrAtAvailable.load(std::memory_order_relaxed)) {
      ssize_t got = syscall(kListXattrAt, directory, name.c_str(), AT_SYMLINK_NOFOLLOW, names, size);
      if (got >= 0 || errno != ENOSYS) return got;
      xattrAtAvailable.store(false, std::memory_order_relaxed);
    }
    return llistxattr(procName().c_str(), names, size);
  }
  ssize_t get(const char* attribute, void* value, std::size_t size) const {
    if (fd >= 0) return fgetxattr(fd, attribute, value, size);
    if (xattrAtAvailable.load(std::memory_order_relaxed)) {
      XattrArgs args{reinterpret_cast<std::uintptr_t>(value), static_cast<std::uint32_t>(size), 0};
      ssize_t got = syscall(kGetXattrAt, directory, name.c_str(), AT_SYMLINK_NOFOLLOW, attribute,
                            &args, sizeof args);
      if (got >= 0 || errno != ENOSYS) return got;
      xattrAtAvailable.store(false, std::memory_order_relaxed);
    }
    return lgetxattr(procName().c_str(), attribute, value, size);
  }

private:
  std::string procName() const { return procPath(directory) + "/" + name; }
};

constexpr const char* kAccessName = "system.posix_acl_access";
constexpr const char* kDefaultName = "system.posix_acl_default";

// Which of the attributes the state needs the object has: one listing spares a read of each
// attribute it does not have (most objects have none).
struct Present {
  bool descriptor = true, access = true, defaults = true;
};

std::uint32_t listAttributes(const AttributeSource& source, Present& present) {
  char names[1024];
  ssize_t size = source.list(names, sizeof names);
  if (size < 0) {
    if (errno == ERANGE) return err::success; // too many to list here: read each
    if (errno != ENOTSUP) return lastCode();
    size = 0;
  }
  present = {false, false, false};
  for (std::string_view list(names, static_cast<std::size_t>(size)); !list.empty();) {
    std::string_view name = list.substr(0, list.find('\0'));
    present.descriptor |= name == kDescriptorName;
    present.access |= name == kAccessName;
    present.defaults |= name == kDefaultName;
    list.remove_prefix(std::min(list.size(), name.size() + 1));
  }
  return err::success;
}

// Reads an attribute whole; false (and success) when the object has none.
std::uint32_t readAttribute(const AttributeSource& source, const char* name,
                            std::vector<std::uint8_t>& value, bool& found) {
  found = false;
  value.resize(512);
  for (;;) {
    ssize_t size = source.get(name, value.data(), value.size());
    if (size >= 0) {
      value.resize(static_cast<std::size_t>(size));
      found = true;
      return err::success;
    }
    if (errno == ERANGE) {
      ssize_t needed = source.get(name, nullptr, 0);
      if (needed < 0) return lastCode();
      value.resize(static_cast<std::size_t>(needed));
      continue;
    }
    value.clear();
    return errno == ENODATA ? err::success : lastCode();
  }
}

// The entries of a POSIX ACL as the kernel keeps it in its attribute (a version word, then
// little-endian tag, permissions and id per entry): read directly, so that an ACL costs one
// call on a descriptor or a name and no conversion through the library.
std::uint32_t parseAcl(const std::vector<std::uint8_t>& value, PosixAcl& out) {
  posix_acl_xattr_header header;
  if (value.size() < sizeof header || (value.size() - sizeof header) % 8 != 0)
    return err::invalidAcl;
  std::memcpy(&header, value.data(), sizeof header);
  if (le32toh(header.a_version) != POSIX_ACL_XATTR_VERSION) return err::invalidAcl;
  out.clear();
  for (std::size_t at = sizeof header; at < value.size(); at += sizeof(posix_acl_xattr_entry)) {
    posix_acl_xattr_entry raw;
    std::memcpy(&raw, value.data() + at, sizeof raw);
    AclEntry e;
    const acl_tag_t posixTag = le16toh(raw.e_tag);
    bool known = false;
    for (const auto& t : kTags)
      if (t.posix == posixTag) e.tag = t.tag, known = true;
    if (!known) return err::invalidAcl;
    if (e.tag == AclTag::User || e.tag == AclTag::Group) e.id = le32toh(raw.e_id);
    for (const auto& p : kPerms)
      if (le16toh(raw.e_perm) & p.posix) e.perms |= p.bit;
    out.push_back(e);
  }
  std::sort(out.begin(), out.end());
  return err::success;
}

std::uint32_t readAcl(const AttributeSource& source, const char* name, PosixAcl& acl,
                      bool& found) {
  std::vector<std::uint8_t> value;
  if (std::uint32_t code = readAttribute(source, name, value, found)) return code;
  return found ? parseAcl(value, acl) : err::success;
}

// The descriptor and the ACLs of the object, what it has of them.
std::uint32_t readAttributes(const AttributeSource& source, const struct stat& st,
                             SecurityState& state) {
  Present present;
  if (std::uint32_t code = listAttributes(source, present)) return code;
  state.hasDescriptor = false;
  state.descriptor.clear();
  bool found = false;
  if (present.descriptor)
    if (std::uint32_t code = readAttribute(source, kDescriptorName, state.descriptor, found))
      return code;
  state.hasDescriptor = found;
  state.access.clear();
  if (present.access)
    if (std::uint32_t code = readAcl(source, kAccessName, state.access, found)) return code;
  if (state.access.empty()) state.access = modeEntries(st.st_mode);
  state.defaults.clear();
  if (!state.directory || !present.defaults) return err::success;
  return readAcl(source, kDefaultName, state.defaults, found);
}

// Reopens an object that a path-only descriptor refers to, for reading, and checks that it is
// still the same securable object.
Result<Handle> reopen(int fd) {
  using Opened = Result<Handle>;
  struct stat before, after;
  if (fstat(fd, &before) != 0) return Opened::failure(lastCode());
  if (std::uint32_t code = kindCode(before.st_mode)) return Opened::failure(code);
  posix::Fd object(::open(procPath(fd).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!object.valid()) return Opened::failure(lastCode());
  if (fstat(object.get(), &after) != 0) return Opened::failure(lastCode());
  if (after.st_dev != before.st_dev || after.st_ino != before.st_ino)
    return Opened::failure(err::accessDenied);
  return posix::toHandle(std::move(object));
}

// Opens the object where leads to (a link there refused) for reading.
Result<Handle> openAt(Result<posix::Located> where) {
  if (!where.ok()) return Result<Handle>::failure(where.code());
  posix::Fd located(openat(where.value().parent.get(), where.value().name.c_str(),
                           O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!located.valid()) return Result<Handle>::failure(lastCode());
  return reopen(located.get());
}

std::string linkTarget(int fd) {
  char buffer[4096];
  ssize_t size = readlink(procPath(fd).c_str(), buffer, sizeof buffer);
  return size > 0 ? std::string(buffer, static_cast<std::size_t>(size)) : std::string();
}

} // namespace

SecurityObject::SecurityObject(Handle handle, std::u16string path)
    : handle_(std::move(handle)), path_(std::move(path)) {}

SecurityObject::SecurityObject(Handle handle, std::function<std::u16string()> describe)
    : handle_(std::move(handle)), describe_(std::move(describe)) {}

SecurityObject::SecurityObject(int directory, std::string name,
                               std::function<std::u16string()> describe)
    : directory_(directory), name_(std::move(name)), describe_(std::move(describe)) {}

int SecurityObject::fd() const { return posix::fdOf(handle_.get()); }

std::uint32_t SecurityObject::opened() {
  if (handle_.valid() || gone_) return err::success;
  posix::Fd object(openat(directory_, name_.c_str(), kObjectFlags));
  struct stat st;
  if (object.valid() && fstat(object.get(), &st) != 0) return lastCode();
  if (!object.valid() || st.st_dev != device_ || st.st_ino != inode_) {
    if (object.valid() || errno == ENOENT || errno == ELOOP) {
      gone_ = true;
      return err::success;
    }
    return lastCode();
  }
  handle_ = posix::toHandle(std::move(object));
  return err::success;
}

Result<SecurityObject> SecurityObject::reading(Result<Handle> handle, std::u16string path) {
  if (!handle.ok()) return Result<SecurityObject>::failure(handle.code());
  SecurityObject object(std::move(handle.value()), std::move(path));
  if (std::uint32_t code = object.readState()) return Result<SecurityObject>::failure(code);
  return object;
}

std::uint32_t SecurityObject::readState() {
  struct stat st;
  const bool byName = !handle_.valid();
  if ((byName ? fstatat(directory_, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) : fstat(fd(), &st)) != 0)
    return lastCode();
  if (std::uint32_t code = kindCode(st.st_mode)) return code;
  state_.directory = S_ISDIR(st.st_mode);
  state_.owner = st.st_uid;
  state_.group = st.st_gid;
  state_.linkCount = static_cast<std::uint32_t>(st.st_nlink);
  device_ = st.st_dev;
  inode_ = st.st_ino;
  return readAttributes(byName ? AttributeSource{-1, directory_, name_}
                               : AttributeSource{fd(), -1, {}},
                        st, state_);
}

Result<SecurityObject> SecurityObject::open(const Root& root, std::u16string_view relative) {
  // Reports name an object in its plain form, whatever form its root was opened by.
  return reading(openAt(posix::locate(root, relative)),
                 std::u16string(grammar::withoutLongPrefix(root.pathOf(relative))));
}

Result<SecurityObject> SecurityObject::fromHandle(NativeHandle handle) {
  Result<Handle> reopened = reopen(posix::fdOf(handle));
  if (!reopened.ok()) return Result<SecurityObject>::failure(reopened.code());
  std::u16string path = windowsPath(linkTarget(posix::fdOf(reopened.value().get())));
  return reading(std::move(reopened), std::move(path));
}

Result<SecurityObject> SecurityObject::parent() const {
  auto top = [] { return Result<SecurityObject>::failure(err::fileNotFound); };
  if (!handle_.valid()) { // read by name in a directory the walk holds open
    posix::Fd parentFd(fcntl(directory_, F_DUPFD_CLOEXEC, 0));
    if (!parentFd.valid()) return Result<SecurityObject>::failure(lastCode());
    std::u16string path = windowsPath(linkTarget(parentFd.get()));
    return reading(posix::toHandle(std::move(parentFd)), std::move(path));
  }
  posix::Fd parentFd;
  if (state_.directory) {
    parentFd.reset(openat(fd(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  } else {
    // A file's descriptor does not lead to its directory: take the directory of the path the
    // descriptor was opened by and check that it still holds this very file.
    std::string target = linkTarget(fd());
    std::size_t slash = target.rfind('/');
    if (target.empty() || target[0] != '/' || slash == std::string::npos) return top();
    if (int error = posix::openSafely(slash == 0 ? "/" : target.substr(0, slash),
                                      O_RDONLY | O_DIRECTORY, 0, parentFd))
      return Result<SecurityObject>::failure(posix::win32FromErrno(error));
    struct stat child;
    if (parentFd.valid() &&
        (fstatat(parentFd.get(), target.c_str() + slash + 1, &child, AT_SYMLINK_NOFOLLOW) != 0 ||
         child.st_dev != device_ || child.st_ino != inode_))
      return top();
  }
  if (!parentFd.valid()) return Result<SecurityObject>::failure(lastCode());
  struct stat st;
  if (fstat(parentFd.get(), &st) != 0) return Result<SecurityObject>::failure(lastCode());
  if (st.st_dev != device_ || st.st_ino == inode_) return top();
  std::u16string path = windowsPath(linkTarget(parentFd.get()));
  return reading(posix::toHandle(std::move(parentFd)), std::move(path));
}

std::uint32_t SecurityObject::writeDescriptor(std::span<const std::uint8_t> descriptor) {
  if (hardLinked()) return err::accessDenied;
  if (std::uint32_t code = opened(); code || gone_) return code;
  if (fsetxattr(fd(), kDescriptorName, descriptor.data(), descriptor.size(), 0) != 0)
    return lastCode();
  state_.descriptor.assign(descriptor.begin(), descriptor.end());
  state_.hasDescriptor = true;
  return err::success;
}

std::uint32_t SecurityObject::applyAcl(const PosixAcl& access, const PosixAcl& defaults) {
  if (hardLinked()) return err::accessDenied;
  if (access == state_.access && (!state_.directory || defaults == state_.defaults))
    return err::success;
  if (std::uint32_t code = opened(); code || gone_) return code;
  if (access != state_.access) {
      AclPtr acl = toAcl(access);
    if (!acl || acl_set_fd(fd(), acl.get()) != 0) return lastCode();
    state_.access = access;
  }
  if (!state_.directory || defaults == state_.defaults) return err::success;
  const std::string proc = procPath(fd());
  if (defaults.empty()) {
    if (acl_delete_def_file(proc.c_str()) != 0) return lastCode();
  } else {
    AclPtr acl = toAcl(defaults);
    if (!acl || acl_set_file(proc.c_str(), ACL_TYPE_DEFAULT, acl.get()) != 0) return lastCode();
  }
  state_.defaults = defaults;
  return err::success;
}

std::uint32_t SecurityObject::setOwner(std::uint32_t uid) {
  if (hardLinked()) return err::accessDenied;
  if (std::uint32_t code = opened(); code || gone_) return code;
  if (fchown(fd(), uid, static_cast<gid_t>(-1)) != 0) return lastCode();
  state_.owner = uid;
  return err::success;
}

// The walk over the tree below a directory, on the boundary's one tree walker.
class SecurityWalk : public posix::TreeVisitor {
public:
  SecurityWalk(const SecurityObject& root, SecurityVisitor& visitor, const LinkVisit& link)
      : visitor_(visitor), link_(link), root_(root.path()), descend_{true} {}

  std::uint32_t code() const { return code_; }

  Recovery cannotRead(const posix::WalkDirectory& parent, const posix::WalkEntry&, int error) override {
    if (vanished(error)) return Recovery::skip;
    fail(parent.branch, posix::win32FromErrno(error));
    return Recovery::stop;
  }

  // What another file system holds is not this tree's.
  Flow mountPoint(const posix::WalkDirectory&, const posix::WalkEntry&) override {
    return Flow::proceed;
  }

  void cannotReturn(const posix::WalkBranch& branch, const std::string&, int error) override {
    fail(branch, posix::missingOnTheWay(error));
  }

  Flow enterDirectory(const posix::WalkDirectory& parent, const posix::WalkEntry& entry,
                      const posix::WalkDirectory& directory) override {
    if (directory.depth == 0) return Flow::proceed;
    const std::size_t depth = static_cast<std::size_t>(directory.depth);
    descend_.resize(depth + 1);
    descend_[depth] = false;
    posix::Fd fd(fcntl(directory.fd, F_DUPFD_CLOEXEC, 0));
    if (!fd.valid()) return fail(parent.branch, lastCode());
    SecurityObject object(posix::toHandle(std::move(fd)), describe(parent, entry));
    if (std::uint32_t code = object.readState()) return fail(parent.branch, code);
    bool descend = false;
    if (std::uint32_t code = visitor_.visit(object, directory.depth, descend))
      return fail(parent.branch, code);
    descend_[depth] = descend;
    return Flow::proceed;
  }

  Flow visitEntries(const posix::WalkDirectory& directory,
                    std::vector<posix::WalkEntry>& entries) override {
    if (!descend_[static_cast<std::size_t>(directory.depth)]) return Flow::proceed;
    for (posix::WalkEntry& entry : entries) {
      if (entry.kind == posix::WalkEntry::Kind::directory) entry.descend = true;
      if (entry.kind == posix::WalkEntry::Kind::link && link_) link_(describe(directory, entry)());
      if (entry.kind != posix::WalkEntry::Kind::file) continue;
      // Read by name: a file is opened only when it is to be changed.
      SecurityObject object(directory.fd, entry.name, describe(directory, entry));
      std::uint32_t code = object.readState();
      // Gone since it was listed, or replaced by a link or by what is not a file.
      if (code == err::fileNotFound || code == err::pathNotFound ||
          code == err::cantResolveFilename || code == err::accessDenied)
        continue;
      if (code) return fail(directory.branch, code);
      bool descend = false;
      if ((code = visitor_.visit(object, directory.depth + 1, descend)))
        return fail(directory.branch, code);
    }
    return Flow::proceed;
  }

  // A part visits the subtree with the visitor's part for it; the directories above it were
  // gone into, or the entry would not be walked.
  std::unique_ptr<posix::TreeVisitor> fork(const posix::WalkDirectory& parent,
                                           const posix::WalkEntry&) override {
    std::unique_ptr<SecurityVisitor> part = visitor_.fork(parent.depth);
    if (!part) return nullptr;
    auto walk = std::make_unique<SecurityWalk>(std::move(part), link_, root_);
    walk->descend_.assign(static_cast<std::size_t>(parent.depth) + 1, true);
    return walk;
  }

  void join(posix::TreeVisitor& forked) override {
    auto& part = static_cast<SecurityWalk&>(forked);
    visitor_.join(part.visitor_);
    if (part.code_ && (!code_ || part.failedAt_ < failedAt_)) {
      code_ = part.code_;
      failedAt_ = std::move(part.failedAt_);
    }
  }

  SecurityWalk(std::unique_ptr<SecurityVisitor> part, const LinkVisit& link, std::u16string root)
      : ownPart_(std::move(part)), visitor_(*ownPart_), link_(link), root_(std::move(root)) {}

  static std::uint32_t run(const SecurityObject& root, SecurityVisitor& visitor,
                           const LinkVisit& link) {
    if (!root.state().directory) return err::success;
    SecurityWalk walk(root, visitor, link);
    posix::walkTree(root.fd(), ".", walk);
    return walk.code();
  }

private:
  // Gone, or replaced by a link or by something that is not a directory, since it was listed.
  static bool vanished(int error) {
    return error == ENOENT || error == ELOOP || error == ENOTDIR || error == ENXIO;
  }

  Flow fail(const posix::WalkBranch& branch, std::uint32_t code) {
    code_ = code;
    failedAt_ = branch.position();
    return Flow::stop;
  }

  // The path of an entry of the directory, made only when a visit asks for it (during the
  // visit: the walk has moved on afterwards).
  std::function<std::u16string()> describe(const posix::WalkDirectory& directory,
                                           const posix::WalkEntry& entry) const {
    return [root = &root_, branch = &directory.branch, depth = directory.depth,
            name = &entry.name] {
      const std::string relative =
          depth <= 0 ? *name : posix::joinRelative(branch->relative(depth), *name);
      std::u16string path = *root + u"\\";
      for (char16_t c : utf16FromUtf8(relative)) path += c == u'/' ? u'\\' : c;
      return path;
    };
  }

  std::unique_ptr<SecurityVisitor> ownPart_; // a part's visitor
  SecurityVisitor& visitor_;
  const LinkVisit& link_;
  const std::u16string root_;
  std::vector<bool> descend_; // whether the visit went into the directories of the branch
  std::uint32_t code_ = err::success;
  posix::WalkPosition failedAt_;
};

namespace {
// A visit given as a function, on the walk's own thread.
class FunctionVisitor : public SecurityVisitor {
public:
  explicit FunctionVisitor(const SecurityVisit& visit) : visit_(visit) {}
  std::uint32_t visit(SecurityObject& object, int depth, bool& descend) override {
    return visit_(object, depth, descend);
  }
  std::unique_ptr<SecurityVisitor> fork(int) override { return nullptr; }
  void join(SecurityVisitor&) override {}

private:
  const SecurityVisit& visit_;
};
} // namespace

std::uint32_t walkSecurityTree(const SecurityObject& root, const SecurityVisit& visit,
                               const LinkVisit& link) {
  FunctionVisitor visitor(visit);
  return SecurityWalk::run(root, visitor, link);
}

std::uint32_t walkSecurityTree(const SecurityObject& root, SecurityVisitor& visitor) {
  return SecurityWalk::run(root, visitor, {});
}

} // namespace os
