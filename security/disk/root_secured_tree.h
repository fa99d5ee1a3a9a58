// DiskSecurity::RootSecuredTree: the secured tree of a directory on this host, opened once as a
// root. Every object is opened beneath the root without following a link in any component
// (os/security_store.h); access lists are read and written through the object's descriptor.
#pragma once

#include "runtime/fs/root.h"
#include "security/disk/secured_tree.h"

namespace DiskSecurity {

class RootSecuredTree : public SecuredTree {
public:
  explicit RootSecuredTree(const RunTime::File::Root& root) : root_(root) {}

  std::u16string fullPath(const std::u16string& relative) const override;
  ObjectKind kind(const std::u16string& relative) override;
  std::unique_ptr<SecuredObject> open(const std::u16string& relative) override;
  std::u16string linkTarget(const std::u16string& relative) override;

private:
  const RunTime::File::Root& root_;
};

} // namespace DiskSecurity
