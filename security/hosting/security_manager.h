// HostingSecurity::SecurityManager: the access entries of one security metadata file, what the
// site operations add to them, and the commit that applies them below a directory
// and saves the file. ManagerPathCache, which a command owns, keeps the manager it used last.
//
// A path strictly below the virtual-hosts directory (the management service's HTTPD_VHOSTS_D)
// has that directory as its root; any other path is its own root. Below the root, a path's
// first component names its domain, and "<domain>\web_users\<user>" (exact case) a web user:
// each has a metadata file of its own (metadata_file.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runtime/core/exception.h"
#include "security/disk/entry_collection.h"

class IUserInformation;

namespace HostingSecurity {

class RootCorrelationException : public vexception {
public:
  using vexception::vexception;
};

// The virtual-hosts directory (the management service's HTTPD_VHOSTS_D), in its long form.
// Throws what the service client throws.
std::u16string virtualHostsDirectory();

class SecurityManager {
public:
  // Works out the root and the metadata file of `path` (a full directory path) given the
  // virtual-hosts directory; with loadMetadata it also reads the file. Throws what the load
  // throws.
  SecurityManager(const std::u16string& path, bool loadMetadata,
                  std::shared_ptr<IUserInformation> userInformation,
                  const std::u16string& virtualHosts);

  const std::u16string& getRootPath() const { return rootPath_; }
  // The part of fullPath below the root, components joined by "\" (only the first with
  // firstComponentOnly); empty for the root itself. Throws RootCorrelationException "Invalid
  // full path '<path>' and root '<root>' correlation." for a path not below the root.
  std::u16string getRootRelativePath(const std::u16string& fullPath, bool firstComponentOnly) const;
  const std::u16string& getMetadataLocation() const { return metadataLocation_; }
  const DiskSecurity::EntryCollection& entries() const { return *entries_; }

  // Records that `account` is allowed (denied) accessMask at `relative` (a path below the
  // manager's directory, "" for the directory itself) with the ACE flags, in place of whatever
  // the account had there (an earlier rule or a revocation). Throws the vexception of
  // RunTime::File::checkInside for a path that would leave the directory.
  void addAccessEntry(const std::u16string& relative, const RunTime::Sid& account,
                      std::uint32_t accessMask, std::uint32_t aceFlags, bool allow);
  // Applies the entries below the directory `path` (DiskSecurity::SecurityChecker: the lists
  // written, the projection repaired) and saves the metadata file. The directory is opened
  // once, by safe steps (RunTime::File::Root); the walk reaches everything below it beneath that
  // handle, and a directory that does not exist has nothing to walk. From reading the file
  // afresh (the additions since the last commit made again to what it holds now) to the rename,
  // it holds the file's named mutex: commands that change one file run their commits one after
  // another and keep each other's entries, commits to different files overlap. A failure
  // leaves the file as it was.
  void commit(const std::u16string& path);

private:
  // The entries of this manager's metadata file as stored now (none for a root's own file).
  std::shared_ptr<DiskSecurity::EntryCollection> loadEntries();
  std::shared_ptr<DiskSecurity::EntryCollection> noEntries() const;
  // Makes a change to the entries and keeps it, to be made again to what the commit reads.
  void record(std::function<void(DiskSecurity::EntryCollection&)> change);
  std::u16string entryPath() const;
  // The SubPath of a path below the manager's directory.
  std::u16string subPathOf(const std::u16string& relative) const;

  const std::u16string path_;
  std::shared_ptr<DiskSecurity::EntryCollection> entries_;
  // This run's additions, in order, since the last commit.
  std::vector<std::function<void(DiskSecurity::EntryCollection&)>> changes_;
  std::u16string metadataLocation_;
  std::u16string rootPath_;
  std::u16string virtualHosts_;
  bool rootIsVirtualHosts_ = false;
  const bool lenient_ = true;
  std::shared_ptr<IUserInformation> userInformation_;
  std::shared_ptr<DiskSecurity::ISystemHelper> systemHelper_;
};

// The managers of one command: the virtual-hosts directory is asked for once, and the manager
// used last is kept.
class ManagerPathCache {
public:
  explicit ManagerPathCache(std::shared_ptr<IUserInformation> userInformation)
      : userInformation_(std::move(userInformation)) {}

  // The cached manager when `path` has its root and metadata file, else a new one (read from
  // its file) that replaces it. Failures: vexception with the context "Unable to call
  // getManagerByPath(<path>)".
  std::shared_ptr<SecurityManager> getManagerByPath(const std::u16string& path);

private:
  std::shared_ptr<IUserInformation> userInformation_;
  std::optional<std::u16string> virtualHosts_;
  std::shared_ptr<SecurityManager> cached_;
};

} // namespace HostingSecurity
