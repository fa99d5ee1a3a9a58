// DiskSecurity::EntryCollection: an ordered set of access entries (an entry equal to one already
// present is not added again), the name of the file it was read from or saved to, and the
// system helper its entries use.
#pragma once

#include <memory>
#include <set>
#include <string>

#include "security/disk/access_entry.h"
#include "security/disk/system_helper.h"

namespace DiskSecurity {

class EntryCollection {
public:
  using Entries = std::set<AccessEntry, EntryOrder>;

  // An empty collection with a DefaultSystemHelper of its own.
  EntryCollection();
  explicit EntryCollection(std::shared_ptr<ISystemHelper> systemHelper);

  // Adds the entry (with this collection's helper when it has none); false when an equal entry
  // is present already.
  bool insert(AccessEntry entry);
  Entries& entries() { return entries_; }
  const Entries& entries() const { return entries_; }
  std::size_t size() const { return entries_.size(); }

  const std::u16string& storageName() const { return storageName_; }
  void setStorageName(std::u16string name) { storageName_ = std::move(name); }
  const std::shared_ptr<ISystemHelper>& systemHelper() const { return systemHelper_; }

  // Reads a security metadata file, a store file that only root writes (os/store_file.h), into
  // a new collection named after it. A missing file logs "Disk security configuration path is
  // not found: %s" (Error) and gives the empty collection without a name; one that is not
  // root's or that another user may write is passed over with a warning. The file is opened
  // without following a link in its own or its directory's name; a link, a file with several
  // names or a non-regular file is refused with a message naming it. Every element "Entry"
  // becomes an entry (config_importer.h). Failures are rethrown with the context "Unable to
  // parse file URL: '%s'".
  // `lenient`: an account whose name no longer resolves is taken from its stored SID, and a
  // missing companion group of "zrcadm" is left out instead of failing the load.
  static std::shared_ptr<EntryCollection> loadFromStore(const std::u16string& file,
                                                        std::shared_ptr<ISystemHelper> systemHelper,
                                                        bool lenient);

  // Reads one XML file into this collection (see loadFromStore); false when it is missing.
  bool parseFile(const std::u16string& file, bool lenient);

private:
  Entries entries_;
  std::u16string storageName_;
  std::shared_ptr<ISystemHelper> systemHelper_;
};

} // namespace DiskSecurity
