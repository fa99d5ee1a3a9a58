// DiskSecurity::SecurityInformation: the entries of a collection sorted by the path they apply
// to, for the walk of one directory (the scope), with the storage name of the file they came
// from. Entry paths are resolved once, when the view is built, and kept relative to the scope:
// the walk reaches each of them beneath the scope's directory, never by a full path.
//
// Which entry flags give a path's set its properties (docs/decisions.md):
//   skip            SkipPath: the path is not checked, nor what lies below it;
//   exact children  CheckThisPathExactly: with skip, the path is not checked but its children
//                   with entries are;
//   no-propagate    NoPropagate: the entries' ACEs reach the path's children only;
//   repair          RepaireFolder: a directory is rewritten even when its list matches.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "security/disk/access_entry.h"
#include "security/disk/entry_collection.h"
#include "security/disk/entry_template.h"

namespace DiskSecurity {

// Orders paths component by component, ignoring letter case and separator spelling: a path
// comes right before everything below it.
struct PathOrder {
  bool operator()(const std::u16string& a, const std::u16string& b) const;
};

class SecurityInformation {
public:
  struct Properties {
    bool ownEntries = false;
    bool skip = false;
    bool exactChildren = false;
    bool repair = false;
    bool ignoreErrors = false;
  };

  // The view of `entries` for a walk of the directory `scope` (a full path), keyed by paths
  // relative to it. An entry's path is its base (a template resolved) with its SubPath below
  // it; a SubPath that would leave its base ("..", a drive, a UNC or device form) names nothing.
  // Left out: entries outside the directory `within` (relative to the scope, "" for all of
  // it), and entries at the virtual-hosts directory itself (`virtualHosts`, empty when
  // unknown): a site's commit never changes the directory that holds every site. Throws what
  // resolving a template throws.
  SecurityInformation(const EntryCollection& entries, const std::u16string& scope,
                      const std::u16string& within, IComponentPathResolver& resolver, const std::u16string& virtualHosts,
                      bool verbose);

  const std::u16string& storageName() const { return storageName_; }

  // The entries recorded for the path itself, in the collection's order.
  std::vector<const AccessEntry*> entriesAt(const std::u16string& path) const;
  Properties properties(const std::u16string& path) const;
  // The children of `path` that carry entries of their own or lie on the way to a path that
  // does, each once, in path order.
  std::vector<std::u16string> childrenWithEntries(const std::u16string& path) const;

private:
  void add(const AccessEntry& entry, const std::u16string& base, const std::u16string& subPath,
           const std::u16string& scope, const std::u16string& within,
           const std::u16string& virtualHosts);

  std::u16string scope_; // for logs
  std::map<std::u16string, std::vector<AccessEntry>, PathOrder> byPath_;
  std::u16string storageName_;
  bool verbose_;
};

} // namespace DiskSecurity
