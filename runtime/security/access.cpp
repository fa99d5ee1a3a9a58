#include "runtime/security/access.h"

#include <optional>

#include "os/privileges.h"
#include "os/security_store.h"
#include "runtime/core/exception.h"
#include "runtime/core/format.h"
#include "runtime/security/model/account_sids.h"
#include "runtime/security/accounts.h"
#include "runtime/security/stored_security.h"

namespace RunTime::Access {
namespace {

// The object at a full path: the root of its parent opened by safe steps, then the object
// beneath it, its name never followed.
os::Result<os::SecurityObject> openByName(const std::u16string& path) {
  std::u16string name;
  os::Result<os::Root> parent = os::Root::openParent(path, name);
  if (!parent.ok()) return os::Result<os::SecurityObject>::failure(parent.code());
  return os::SecurityObject::open(parent.value(), name);
}


constexpr std::u16string_view kTakeOwnership = u"SeTakeOwnershipPrivilege";

// The failure of an operation: its message, code and the operation's name.
struct Failure {
  std::u16string message;
  const char* function;
  std::int32_t line;

  [[noreturn]] void raise(std::uint32_t code) const {
    throwOSError(message, code, ExceptionContext(std::u16string(), function, line));
  }
  template <class T>
  T check(os::Result<T> result) const {
    if (!result.ok()) raise(result.code());
    return std::move(result.value());
  }
};

void requireFileObject(ObjectType type, const Failure& failure) {
  if (type != SE_FILE_OBJECT) failure.raise(os::err::notSupported);
}

// Writes the cleaned copy of the ACL as the object's protected DACL.
os::Result<std::vector<std::u16string>> write(os::Result<os::SecurityObject> object, const Acl& acl) {
  if (!object.ok()) return os::Result<std::vector<std::u16string>>::failure(object.code());
  return writeDacl(object.value(), cleanedCopy(acl), true);
}

} // namespace

Acl cleanedCopy(const Acl& acl) {
  Acl copy = acl;
  if (!copy.hasBuffer()) return copy;
  for (std::uint32_t i = 0; i < copy.aceCount();) {
    os::Result<Sid> account = lookupAccountSid(copy.getAce(i).sid());
    if (!account.ok() && account.code() == os::err::noneMapped)
      copy.deleteAce(i);
    else
      ++i;
  }
  return copy;
}

std::vector<std::u16string> setSecurity(int handle, ObjectType type, const Acl& acl) {
  const Failure failure{u"Unable to set the object security info", "RunTime::Access::setSecurity",
                        __LINE__};
  requireFileObject(type, failure);
  return failure.check(write(os::SecurityObject::fromHandle(static_cast<os::NativeHandle>(handle)), acl));
}

std::vector<std::u16string> setSecurity(const std::u16string& name, ObjectType type,
                                        const Acl& acl) {
  const Failure failure{formatString(u"Unable to set the object (%s) security info", name),
                        "RunTime::Access::setSecurity", __LINE__};
  requireFileObject(type, failure);
  os::Result<std::vector<std::u16string>> written =
      write(openByName(name), acl);
  if (!written.ok() && written.code() == os::err::accessDenied) {
    // A take-over that fails leaves the second try to fail with the write's own error.
    try {
      setOwner(name, type);
    } catch (const vexception&) {
    }
    written = write(openByName(name), acl);
  }
  return failure.check(std::move(written));
}

void setOwner(const std::u16string& name, ObjectType type) {
  const Failure failure{formatString(u"Unable to set the object (%s) owner", name),
                        "RunTime::Access::setOwner", __LINE__};
  requireFileObject(type, failure);
  if (privilegeExist(std::u16string(kTakeOwnership)))
    enablePrivilege(std::u16string(kTakeOwnership));
  std::optional<PosixPrincipal> user = posixPrincipal(threadUserSid());
  if (!user || user->kind != PosixPrincipal::Kind::User) failure.raise(os::err::noneMapped);
  os::SecurityObject object = failure.check(openByName(name));
  if (std::uint32_t code = object.setOwner(user->id)) failure.raise(code);
}

void enablePrivilege(const std::u16string& name) {
  if (std::uint32_t code = os::enablePrivilege(name))
    throwOSError(formatString(u"Unable to adjust privilege (%s)", name), code,
                 VCONTEXT("RunTime::Access::enablePrivilege"));
}

bool privilegeExist(const std::u16string& name) {
  os::Result<bool> held = os::privilegeHeld(name);
  if (!held.ok())
    throwOSError(formatString(u"The privilege (%s) is not found", name), held.code(),
                 VCONTEXT("RunTime::Access::privilegeExist"));
  return held.value();
}

} // namespace RunTime::Access
