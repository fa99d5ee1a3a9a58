#include "security/disk/root_secured_tree.h"

#include <exception>

#include "os/files.h"
#include "os/path.h"
#include "os/security_store.h"
#include "runtime/core/exception.h"
#include "runtime/security/model/security_descriptor.h"
#include "runtime/security/model_failures.h"
#include "runtime/security/stored_security.h"

namespace DiskSecurity {
namespace {

// Whether an open or a look refused a link on the way: below a root no link is followed.
bool linkRefused(std::uint32_t code) {
  return code == os::err::cantResolveFilename || code == os::err::untrustedMountPoint;
}

// The path below `top` of an object the walk reached: the walk names objects by their place
// below the directory it started from.
std::u16string below(const std::u16string& topPath, const std::u16string& topRelative,
                     const std::u16string& objectPath) {
  const std::u16string rest = objectPath.substr(std::min(objectPath.size(), topPath.size() + 1));
  return topRelative.empty() ? rest : topRelative + u'\\' + rest;
}

class StoredObject : public SecuredObject {
public:
  explicit StoredObject(os::SecurityObject& object) : object_(object) {}

  bool directory() const override { return object_.state().directory; }
  ExistingAcl existing() const override {
    const os::SecurityState& state = object_.state();
    if (!state.hasDescriptor) return {};
    const RunTime::SecurityDescriptor stored = RunTime::withSystemErrors(
        [&] { return RunTime::SecurityDescriptor::fromSelfRelative(state.descriptor); });
    return {stored.dacl(), stored.daclProtected()};
  }
  os::Result<RunTime::Acl> effectiveDacl() const override { return RunTime::readDacl(object_); }
  std::uint32_t writeDacl(const RunTime::Acl& explicitDacl, bool daclProtected) override {
    return RunTime::writeDacl(object_, explicitDacl, daclProtected).code();
  }
  std::uint32_t repairProjection() override { return RunTime::repairProjection(object_).code(); }

  os::SecurityObject& object() { return object_; }

private:
  os::SecurityObject& object_;
};

// An object the tree opened, kept with its view.
class OpenedObject : public StoredObject {
public:
  explicit OpenedObject(os::SecurityObject object)
      : StoredObject(owned_), owned_(std::move(object)) {}

private:
  os::SecurityObject owned_;
};

} // namespace

std::u16string RootSecuredTree::fullPath(const std::u16string& relative) const {
  return root_.shown(relative);
}

ObjectKind RootSecuredTree::kind(const std::u16string& relative) {
  os::Result<os::FileInfo> info = os::fileInformation(root_.os(), relative);
  if (!info.ok()) {
    if (info.code() == os::err::fileNotFound || info.code() == os::err::pathNotFound)
      return ObjectKind::absent;
    if (linkRefused(info.code())) return ObjectKind::link;
    throwOSError(u"Unable to look at '" + fullPath(relative) + u"'", info.code(),
                 VCONTEXT("DiskSecurity::RootSecuredTree::kind"));
  }
  if (info.value().reparseTag != 0) return ObjectKind::link;
  return info.value().attributes & os::FILE_ATTRIBUTE_DIRECTORY ? ObjectKind::directory
                                                                : ObjectKind::file;
}

std::unique_ptr<SecuredObject> RootSecuredTree::open(const std::u16string& relative) {
  os::Result<os::SecurityObject> object = os::SecurityObject::open(root_.os(), relative);
  if (!object.ok() && linkRefused(object.code())) return nullptr;
  if (!object.ok())
    throwOSError(u"Unable to open '" + fullPath(relative) + u"' for security", object.code(),
                 VCONTEXT("DiskSecurity::RootSecuredTree::open"));
  return std::make_unique<OpenedObject>(std::move(object.value()));
}

std::u16string RootSecuredTree::linkTarget(const std::u16string& relative) {
  const std::u16string path = root_.fullPath(relative);
  const os::Result<std::u16string> target = os::linkedPath(path);
  return os::shownPath(target.ok() ? target.value() : path);
}

void RootSecuredTree::walk(SecuredObject& top, const std::u16string& relative, const Visit& visit,
                           const LinkVisit& link) {
  os::SecurityObject& topObject = static_cast<StoredObject&>(top).object();
  const std::u16string topPath = topObject.path();
  // What a visit throws is carried across the walker, which then stops, and thrown again here.
  std::exception_ptr thrown;
  const std::uint32_t code = os::walkSecurityTree(
      topObject,
      [&](os::SecurityObject& object, int depth, bool& descend) -> std::uint32_t {
        try {
          StoredObject view(object);
          descend = visit(view, below(topPath, relative, object.path()), depth);
          return os::err::success;
        } catch (...) {
          thrown = std::current_exception();
          return os::err::operationAborted;
        }
      },
      [&](const std::u16string& path) { link(below(topPath, relative, path)); });
  if (thrown) std::rethrow_exception(thrown);
  if (code)
    throwOSError(u"Unable to walk the tree below '" + fullPath(relative) + u"'", code,
                 VCONTEXT("DiskSecurity::RootSecuredTree::walk"));
}

} // namespace DiskSecurity
