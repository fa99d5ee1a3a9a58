#include "security/disk/entry_collection.h"

#include "os/file_io.h"
#include "os/path.h"
#include "os/store_file.h"
#include "runtime/core/guard.h"
#include "runtime/core/text.h"
#include "runtime/fs/files.h"
#include "runtime/fs/path/filename.h"
#include "runtime/log/log_manager.h"
#include "security/disk/config_importer.h"
#include "security/disk/store_refusal.h"

namespace DiskSecurity {
namespace {

constexpr std::u16string_view DEFAULT_FILE = u"DiskSecurity.xml";

// Reads one file into the collection in a span, wrapping a failure with `what` and the file.
bool parseInto(EntryCollection& collection, const std::u16string& file, bool lenient,
               const char* span, const char16_t* what) {
  return guarded(span, __LINE__, [&] { return std::u16string(what) + u": '" + os::shownPath(file) + u"'"; },
                 [&] { return collection.parseFile(file, lenient); });
}

void logNotFound(const std::u16string& location) {
  LogManager::instance().log(corelog::levelError, u"Disk security configuration path is not found: %s",
                             os::shownPath(location));
}

} // namespace

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
  if (!parseInto(*collection, file, lenient, "Parse file URL", u"Unable to parse file URL")) {
    logNotFound(file);
    return collection;
  }
  collection->setStorageName(file);
  return collection;
}

std::shared_ptr<EntryCollection>
EntryCollection::loadFromConfig(const std::u16string& location, bool defaultDirectory,
                                std::shared_ptr<IUserInformation>,
                                std::shared_ptr<ISystemHelper> systemHelper, bool lenient) {
  auto collection = std::make_shared<EntryCollection>(std::move(systemHelper));
  bool isDirectory = false;
  const bool exists = fileExist(location, &isDirectory);
  if (exists && isDirectory) {
    for (const RunTime::File::DirectoryEntry& entry : RunTime::File::findFirstFile(location).files) {
      const std::u16string& name = entry.name;
      if (!matchesPattern(name, u"*.xml") || RunTime::striequal(name, DEFAULT_FILE) != defaultDirectory)
        continue;
      const std::u16string file = VFileName::combine(location, name);
      if (defaultDirectory)
        parseInto(*collection, file, lenient, "Parse default directory URL",
                  u"Unable to parse default directory URL");
      else
        parseInto(*collection, file, lenient, "Parse not default directory URL",
                  u"Unable to parse not default directory URL");
    }
  } else if (exists) {
    parseInto(*collection, location, lenient, "Parse file URL", u"Unable to parse file URL");
  } else {
    logNotFound(location);
    return collection;
  }
  collection->setStorageName(location);
  return collection;
}

} // namespace DiskSecurity
