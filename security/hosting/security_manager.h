// HostingSecurity::SecurityManager: the access entries of one security metadata file, what the
// site operations add to them and revoke, and the commit that applies them below a directory
// and saves the file. ManagerPathCache keeps the manager used last.
//
// A path strictly below the virtual-hosts directory (the management service's HTTPD_VHOSTS_D)
// has that directory as its root; any other path is its own root. Below the root, a path's
// first component names its domain, and "<domain>\web_users\<user>" (exact case) a web user:
// each has a metadata file of its own (metadata_file.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runtime/core/exception.h"
#include "security/disk/callback.h"
#include "security/disk/entry_collection.h"
#include "security/disk/security_checker.h"

class IUserInformation;

namespace HostingSecurity {

class RootCorrelationException : public vexception {
public:
  using vexception::vexception;
};

class SecurityManager : public DiskSecurity::Callback {
public:
  // Works out the root and the metadata file of `path` (a full directory path); with
  // loadMetadata it also reads the file. Throws what the service client and the load throw.
  SecurityManager(const std::u16string& path, bool loadMetadata,
                  std::shared_ptr<IUserInformation> userInformation);

  const std::u16string& getRootPath();
  // The part of fullPath below the root, components joined by "\" (only the first with
  // firstComponentOnly); empty for the root itself. Throws RootCorrelationException "Invalid
  // full path '<path>' and root '<root>' correlation." for a path not below the root.
  std::u16string getRootRelativePath(const std::u16string& fullPath, bool firstComponentOnly) const;
  const std::u16string& getMetadataLocation() const { return metadataLocation_; }
  const DiskSecurity::EntryCollection& entries() const { return *entries_; }

  // Records that `account` is allowed (denied) accessMask at `path` with the ACE flags, in place
  // of whatever the account had there (an earlier rule or a revocation).
  void addAccessEntry(const std::u16string& path, const RunTime::Sid& account,
                      std::uint32_t accessMask, std::uint32_t aceFlags, bool allow);
  // Erases the account's entries at `path` whose flags share a bit with flagFilter (all of them
  // for 0) and, unless flagFilter holds RemoveAccess, records a RemoveAccess marker there.
  void revokeAccessEntries(const std::u16string& path, const RunTime::Sid& account,
                           std::int32_t flagFilter);
  // Applies the entries below `path` (CompleteChecker when complete, else SecurityChecker) and
  // saves the metadata file. From reading the file afresh (the additions and revocations since
  // the last commit made again to what it holds now) to the rename, it holds the file's named
  // mutex: commands that change one file run their commits one after another and keep each
  // other's entries, commits to different files overlap. An abort of the walk is swallowed and
  // the file saved; any other failure leaves the file as it was.
  void commit(const std::u16string& path, bool complete, DiskSecurity::Callback* callback,
              std::uint32_t applyArgument);

  // Callback: the first three are passed on to the commit's callback.
  int onFailure(const std::u16string& path, std::uint32_t code, const std::u16string& message,
                bool directory) override;
  int onWritten(const std::u16string& path, bool directory) override;
  int onPath(const std::u16string& path, bool directory) override;
  // The information of the metadata file that governs `path`: `current` while that is the
  // file it came from (or no file exists there and no callback answers otherwise), else the
  // entries of that file, freshly read.
  std::shared_ptr<DiskSecurity::SecurityInformation>
  getSecurityInformation(std::shared_ptr<DiskSecurity::SecurityInformation> current,
                         const std::u16string& path, std::uint32_t flags) override;

private:
  std::u16string metadataFileFor(const std::u16string& path) const;
  // The entries of this manager's metadata file as stored now (none for a root's own file).
  std::shared_ptr<DiskSecurity::EntryCollection> loadEntries();
  std::shared_ptr<DiskSecurity::EntryCollection> noEntries() const;
  // Makes a change to the entries and keeps it, to be made again to what the commit reads.
  void record(std::function<void(DiskSecurity::EntryCollection&)> change);
  std::u16string entryPath() const;
  std::u16string obtainVirtualHosts() const;

  const std::u16string path_;
  std::shared_ptr<DiskSecurity::EntryCollection> entries_;
  // This run's additions and revocations, in order, since the last commit.
  std::vector<std::function<void(DiskSecurity::EntryCollection&)>> changes_;
  std::u16string metadataLocation_;
  std::u16string rootPath_;
  std::u16string virtualHosts_;
  bool rootIsVirtualHosts_ = false;
  const bool lenient_ = true;
  DiskSecurity::Callback* callback_ = nullptr;
  DiskSecurity::SecurityChecker* checker_ = nullptr;
  std::shared_ptr<IUserInformation> userInformation_;
  std::shared_ptr<DiskSecurity::ISystemHelper> systemHelper_;
};

class ManagerPathCache {
public:
  static ManagerPathCache& instance();
  // The cached manager when `path` has its root and metadata file, else a new one (read from
  // its file) that replaces it. Failures: vexception with the context "Unable to call
  // getManagerByPath(<path>)".
  std::shared_ptr<SecurityManager> getManagerByPath(const std::u16string& path,
                                                    std::shared_ptr<IUserInformation> userInformation);

private:
  std::shared_ptr<SecurityManager> cached_;
};

} // namespace HostingSecurity
