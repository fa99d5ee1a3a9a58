#include "security/hosting/metadata_file.h"

#include "os/dos_attributes.h"
#include "os/path.h"
#include "os/store_file.h"
#include "runtime/core/guard.h"
#include "runtime/core/text.h"
#include "runtime/fs/files.h"
#include "runtime/fs/path/filename.h"
#include "runtime/log/log_manager.h"
#include "security/disk/store_refusal.h"
#include "security/disk/vocabulary.h"
#include "xml/sax_writer.h"

namespace HostingSecurity {
namespace {

using DiskSecurity::AccessEntry;
using DiskSecurity::EntryCollection;

constexpr std::u16string_view METADATA_DIRECTORY = u".kelvo";

// A domain or user name becomes one path component: it must not climb or descend.
const std::u16string& component(const std::u16string& name) {
  if (name.empty() || name == u"." || name == u".." ||
      name.find_first_of(u"\\/:") != std::u16string::npos)
    throw vexception(u"Invalid name of a metadata file's owner: '" + name + u"'",
                     VCONTEXT("HostingSecurity::metadataFile"));
  return name;
}

std::u16string metadataDirectory(const std::u16string& virtualHosts, const std::u16string& domain) {
  return VFileName::combine(virtualHosts, component(domain) + u"\\" + std::u16string(METADATA_DIRECTORY));
}

std::u16string lastComponent(const std::u16string& path) {
  const std::u16string trimmed = VFileName::trimTrailingSeparators(path);
  const std::size_t separator = trimmed.find_last_of(u"\\/");
  return separator == std::u16string::npos ? trimmed : trimmed.substr(separator + 1);
}

void checkStore(const os::StoreStatus& status, const std::u16string& file, const char16_t* what) {
  if (status.refusal != os::StoreRefusal::none) DiskSecurity::throwStoreRefusal(status.refusal, file);
  if (status.code)
    throwOSError(what + os::shownPath(file) + u"'", status.code, VCONTEXT("HostingSecurity::saveToFile"));
}

// The attributes of one entry in the order they are written. Throws when the entry cannot be
// written.
std::vector<std::pair<const char16_t*, std::u16string>>
attributesOf(const AccessEntry& entry, const std::u16string& localDomain) {
  std::vector<std::pair<const char16_t*, std::u16string>> attributes;
  if (std::optional<std::u16string> name = DiskSecurity::wellKnownName(entry.account)) {
    attributes = {{u"AccounType", u"0"}, {u"Account", *name}};
  } else {
    attributes.emplace_back(u"AccounType", u"1");
    const std::u16string& domain = entry.account.domain();
    if (!domain.empty() && !RunTime::striequal(domain, localDomain))
      attributes.emplace_back(u"Domain", domain);
    attributes.emplace_back(u"Account", entry.account.name());
    attributes.emplace_back(u"SidStr", entry.account.toSidString());
  }
  attributes.emplace_back(u"Path", entry.path);
  if (!entry.subPath.empty()) attributes.emplace_back(u"SubPath", entry.subPath);
  attributes.emplace_back(u"AceFlags", DiskSecurity::writeAceFlags(entry.aceFlags));
  attributes.emplace_back(u"AccessMask", DiskSecurity::writeAccessMask(entry.accessMask));
  attributes.emplace_back(u"EntryFlags",
                          DiskSecurity::writeEntryFlags(static_cast<std::uint32_t>(entry.entryFlags)));
  attributes.emplace_back(u"Tag", entry.tag);
  attributes.emplace_back(u"Tag2", entry.tag2);
  for (const auto& [name, value] : attributes)
    if (!SaxWriter::isWritableText(value))
      throw vexception(u"Unable to write the entry of path '" + entry.path + u"': its " + name +
                           u" holds characters XML cannot carry",
                       VCONTEXT("HostingSecurity::writeEntries"));
  return attributes;
}

// Creates the metadata directory when missing (root's, writable by root alone) and marks a
// ".kelvo" directory hidden. One that a site user could have made or may change is refused.
void prepareDirectory(const std::u16string& location) {
  const std::u16string directory = VFileName::removeFileSpec(location);
  if (directory.empty()) return;
  os::Handle opened;
  bool created = false;
  checkStore(os::ensureStoreDirectory(directory, opened, created), location,
             u"Unable to create directory for security metadata file '");
  if (created)
    LogManager::instance().log(corelog::levelWarning, u"Creating directory for security metadata file '%s'",
                               os::shownPath(location));
  if (lastComponent(directory) != METADATA_DIRECTORY) return;
  const std::uint32_t code = os::addHiddenAttribute(opened.get());
  // The hidden bit only keeps the directory out of listings; a file system without user
  // attributes must not stop the save.
  if (code)
    LogManager::instance().log(corelog::levelWarning, u"Unable to mark directory '%s' hidden: %s",
                               os::shownPath(directory), osErrorMessage(code));
}

void writeFile(const EntryCollection& entries, const std::u16string& location, bool lenient) {
  os::StoreReplacement replacement;
  guarded("Save entries to file", __LINE__,
          [&] { return u"Unable to save entries to file: '" + location + u"'"; }, [&] {
            checkStore(replacement.begin(location), location, u"Unable to create a temporary file for '");
            guarded("Write entries to temporary file", __LINE__,
                    [&] {
                      return u"Unable to write entries to temporary file: '" +
                             replacement.temporaryPath() + u"'";
                    },
                    [&] {
                      SaxWriter writer([&](const char* data, std::size_t size) {
                        checkStore(replacement.write(data, size), replacement.temporaryPath(),
                                   u"Write to file '");
                      });
                      writeEntries(entries, writer, lenient);
                    });
            checkStore(replacement.commit(), location, u"Unable to replace file '");
          });
}

} // namespace

std::u16string rootMetadataFile(const std::u16string& root) {
  return VFileName::combine(root, u".Security");
}

std::u16string domainMetadataFile(const std::u16string& virtualHosts, const std::u16string& domain) {
  return VFileName::combine(metadataDirectory(virtualHosts, domain), u".Security");
}

std::u16string webuserMetadataFile(const std::u16string& virtualHosts,
                                   const std::u16string& domain, const std::u16string& user) {
  return VFileName::combine(metadataDirectory(virtualHosts, domain),
                            u".Web." + component(user) + u".Security");
}

bool metadataFileExists(const std::u16string& file) {
  os::Handle handle;
  const os::StoreStatus status = os::openStoreFile(file, handle);
  return status.code != os::err::fileNotFound && status.code != os::err::pathNotFound;
}

std::shared_ptr<EntryCollection>
loadFromFile(const std::u16string& file, std::shared_ptr<IUserInformation>,
             std::shared_ptr<DiskSecurity::ISystemHelper> systemHelper, bool lenient) {
  return guarded("loadFromFile", __LINE__,
                 [&] { return u"Unable to call loadFromFile(" + os::shownPath(file) + u", false)"; }, [&] {
                   return EntryCollection::loadFromStore(file, std::move(systemHelper), lenient);
                 });
}

namespace {

LoadedMetadata loadNamed(const std::u16string& file, const char16_t* missing,
                         std::shared_ptr<IUserInformation> userInformation,
                         std::shared_ptr<DiskSecurity::ISystemHelper> systemHelper, bool lenient) {
  if (!metadataFileExists(file)) LogManager::instance().log(corelog::levelWarning, missing, os::shownPath(file));
  return {file, loadFromFile(file, std::move(userInformation), std::move(systemHelper), lenient)};
}

} // namespace

LoadedMetadata loadDomainSecurity(const std::u16string& virtualHosts, const std::u16string& domain,
                                  std::shared_ptr<IUserInformation> userInformation,
                                  std::shared_ptr<DiskSecurity::ISystemHelper> systemHelper,
                                  bool lenient) {
  return guarded("loadDomainSecurity", __LINE__,
                 [&] { return u"Unable to call loadDomainSecurity(" + domain + u")"; }, [&] {
                   return loadNamed(domainMetadataFile(virtualHosts, domain),
                                    u"Unable to find domain security metadata file: %s",
                                    std::move(userInformation), std::move(systemHelper), lenient);
                 });
}

LoadedMetadata loadWebuserSecurity(const std::u16string& virtualHosts,
                                   const std::u16string& domain, const std::u16string& user,
                                   std::shared_ptr<IUserInformation> userInformation,
                                   std::shared_ptr<DiskSecurity::ISystemHelper> systemHelper,
                                   bool lenient) {
  return guarded("loadWebuserSecurity", __LINE__,
                 [&] { return u"Unable to call loadWebuserSecurity(" + domain + u")"; }, [&] {
                   return loadNamed(webuserMetadataFile(virtualHosts, domain, user),
                                    u"Unable to find webuser security metadata file: %s",
                                    std::move(userInformation), std::move(systemHelper), lenient);
                 });
}

void writeEntries(const EntryCollection& entries, SaxWriter& writer, bool lenient) {
  const std::u16string localDomain = entries.systemHelper()->getLocalAccountDomain();
  writer.startDocument();
  writer.startElement(u"Entries");
  for (const AccessEntry& entry : entries.entries()) {
    std::vector<std::pair<const char16_t*, std::u16string>> attributes;
    try {
      attributes = attributesOf(entry, localDomain);
    } catch (const vexception& e) {
      if (!lenient) throw;
      LogManager::instance().logText(corelog::levelWarning, e.message());
      continue;
    }
    writer.startElement(u"Entry");
    for (const auto& [name, value] : attributes) writer.attribute(name, value);
    writer.endElement();
  }
  writer.endElement();
  writer.endDocument();
}

void saveToFile(EntryCollection& entries, std::u16string& metadataLocation,
                const std::u16string& file, bool lenient) {
  guarded("saveToFile", __LINE__, [&] { return u"Unable to call saveToFile(" + os::shownPath(file) + u")"; }, [&] {
    if (metadataLocation.empty() && file.empty())
      throw vexception(u"Unable to save data to unknown path", VCONTEXT("saveToFile"));
    if (!file.empty()) metadataLocation = file;
    prepareDirectory(metadataLocation);
    writeFile(entries, metadataLocation, lenient);
    entries.setStorageName(metadataLocation);
  });
}

} // namespace HostingSecurity
