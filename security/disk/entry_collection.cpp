#include "security/disk/entry_collection.h"

#include "os/file_io.h"
#include "os/path.h"
#include "os/store_file.h"
#include "runtime/core/guard.h"
#include "runtime/log/log_manager.h"
#include "security/disk/config_importer.h"
#include "security/disk/store_refusal.h"

namespace DiskSecurity {

EntryCollection::EntryCollection() : EntryCollection(std::make_shared<DefaultSystemHelper>()) {}

EntryCollection::EntryCollection(std::shared_ptr<ISystemHelper> systemHelper)
    : systemHelper_(std::move(systemHelper)) {}

bool EntryCollection::insert(AccessEntry entry) {
  if (!entry.systemHelper) entry.systemHelper = systemHelper_;
  const std::size_t before = entries_.size();
  // Files are written in the collection's order, so an entry read from one usually goes last:
  // the hint makes that one comparison instead of a descent.
  entries_.insert(entries_.end(), std::move(entry));
  return entries_.size() != before;
}

bool EntryCollection::parseFile(const std::u16string& file, bool lenient) {
  os::Handle handle;
  os::StoreStatus status = os::openStoreFile(file, handle);
  if (refusalSkipsRead(status.refusal)) {
    LogManager::instance().logText(corelog::levelWarning,
                                   storeRefusalText(status.refusal, file) + u": its entries are not applied");
    return true;
  }
  if (status.refusal != os::StoreRefusal::none) throwStoreRefusal(status.refusal, file);
  if (status.code == os::err::fileNotFound || status.code == os::err::pathNotFound) return false;
  if (status.code) throwOSError(u"Open file '" + os::shownPath(file) + u"'", status.code, VCONTEXT("parseFile"));
  ConfigImporter importer(*this, lenient);
  importer.parseStream([&](char* buffer, std::size_t size) {
    os::Result<std::size_t> n = os::readFile(handle.get(), buffer, size);
    if (!n.ok()) throwOSError(u"Read from file '" + os::shownPath(file) + u"'", n.code(), VCONTEXT("parseFile"));
    return n.value();
  });
  return true;
}

std::shared_ptr<EntryCollection> EntryCollection::loadFromStore(const std::u16string& file,
                                                                std::shared_ptr<ISystemHelper> systemHelper,
                                                                bool lenient) {
  auto collection = std::make_shared<EntryCollection>(std::move(systemHelper));
  const bool found =
      guarded("Parse file URL", __LINE__, [&] { return u"Unable to parse file URL: '" + os::shownPath(file) + u"'"; },
              [&] { return collection->parseFile(file, lenient); });
  if (!found) {
    LogManager::instance().log(corelog::levelError, u"Disk security configuration path is not found: %s",
                               os::shownPath(file));
    return collection;
  }
  collection->setStorageName(file);
  return collection;
}

} // namespace DiskSecurity
