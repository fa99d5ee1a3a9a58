#include "security/disk/root_secured_tree.h"

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

// An object the tree opened.
class OpenedObject : public SecuredObject {
public:
  explicit OpenedObject(os::SecurityObject object) : object_(std::move(object)) {}

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

private:
  os::SecurityObject object_;
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

} // namespace DiskSecurity
