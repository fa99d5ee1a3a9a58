// DiskSecurity::SecuredTree: the files and directories a checker walks, and their access lists.
//
// A checker works beneath one directory (the walked root) by paths relative to it: "" is the
// root itself, "a\b" is below it. It never resolves a full path; what a path leads to is the
// tree's business, so the real tree (RootSecuredTree, on a RunTime::File::Root) opens every
// object beneath the root without following a link, and a test can stand in a tree in memory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "os/error.h"
#include "runtime/security/model/acl.h"
#include "security/disk/required_acl.h"

namespace DiskSecurity {

// One file or directory, opened for its access list.
class SecuredObject {
public:
  virtual ~SecuredObject() = default;

  virtual bool directory() const = 0;
  // The explicit list and protection stored for the object itself (none stored: the empty
  // default). Throws when what is stored is no descriptor.
  virtual ExistingAcl existing() const = 0;
  // The list that governs the object now, inherited entries included.
  virtual os::Result<RunTime::Acl> effectiveDacl() const = 0;
  // Stores the explicit list with the protection, and projects it onto the object and what
  // inherits from it below. 0 or the Win32 code of the failure.
  [[nodiscard]] virtual std::uint32_t writeDacl(const RunTime::Acl& explicitDacl,
                                                bool daclProtected) = 0;
  // Rewrites the projection of the object and of everything below it where it drifted from
  // the stored lists. 0 or the Win32 code of the failure.
  [[nodiscard]] virtual std::uint32_t repairProjection() = 0;
};

enum class ObjectKind { absent, file, directory, link };

class SecuredTree {
public:
  virtual ~SecuredTree() = default;

  // The full path of a relative one, for logs and messages.
  virtual std::u16string fullPath(const std::u16string& relative) const = 0;
  // What stands at the path: a link in any of its components makes it `link`. Throws the OS
  // error of a failure to look.
  virtual ObjectKind kind(const std::u16string& relative) = 0;
  // The object at the path; nullptr when a link stands there (now). Throws the OS error
  // "Unable to open '<full path>' for security".
  virtual std::unique_ptr<SecuredObject> open(const std::u16string& relative) = 0;
  // Where a link at the path points, for a report.
  virtual std::u16string linkTarget(const std::u16string& relative) = 0;
};

} // namespace DiskSecurity
