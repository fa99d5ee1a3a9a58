// Security metadata files: the stored access entries of one site (domain) or web user, in the
// domain's ".kelvo" directory, read through the streaming reader and written through the SAX
// writer.
//
// File format: XML 1.0 in UTF-8 with a declaration, no indentation; a root "Entries" with one
// empty "Entry" per access entry, in the collection's order. Attributes in the order written:
// "AccounType" ("0" for a well-known account, else "1"), "Domain" (type 1, only when the
// account's domain is not the local account domain), "Account", "SidStr" (type 1), "Path",
// "SubPath" (when not empty), "AceFlags", "AccessMask", "EntryFlags", "Tag", "Tag2"; the
// values as security/disk/vocabulary.h writes them.
//
// Site users can change what lies in their domain directory, so the ".kelvo" directory and the
// files in it are never followed when they are links, and a file with more than one name is
// neither read nor replaced: each is refused with a message that names it.
#pragma once

#include <memory>
#include <string>

#include "security/disk/entry_collection.h"

class IUserInformation;
class SaxWriter;

namespace HostingSecurity {

// ROOT\.Security: the file of a root that is no virtual-hosts directory.
std::u16string rootMetadataFile(const std::u16string& root);
// VHOSTS\D\.kelvo\.Security
std::u16string domainMetadataFile(const std::u16string& virtualHosts, const std::u16string& domain);
// VHOSTS\D\.kelvo\.Web.U.Security
std::u16string webuserMetadataFile(const std::u16string& virtualHosts,
                                   const std::u16string& domain, const std::u16string& user);

// Whether something stands at a metadata file's path. Metadata files are looked at only as the
// store reads them (os/store_file.h): a domain's ".kelvo" is root's inside a directory the site
// user owns, which the safe walk of full paths does not enter.
bool metadataFileExists(const std::u16string& file);

// The entries of a metadata file: a missing file is an empty collection; see
// DiskSecurity::EntryCollection::loadFromStore. Failures carry the context
// "Unable to call loadFromFile(<file>, false)".
std::shared_ptr<DiskSecurity::EntryCollection>
loadFromFile(const std::u16string& file, std::shared_ptr<IUserInformation> userInformation,
             std::shared_ptr<DiskSecurity::ISystemHelper> systemHelper, bool lenient);

// The file a load read and what it held.
struct LoadedMetadata {
  std::u16string location;
  std::shared_ptr<DiskSecurity::EntryCollection> entries;
};

// The domain's (web user's) file, loaded; logs "Unable to find domain (webuser) security
// metadata file: %s" (Warning) when it does not exist. Failures carry the context
// "Unable to call loadDomainSecurity(<domain>)" ("loadWebuserSecurity").
LoadedMetadata loadDomainSecurity(const std::u16string& virtualHosts, const std::u16string& domain,
                                  std::shared_ptr<IUserInformation> userInformation,
                                  std::shared_ptr<DiskSecurity::ISystemHelper> systemHelper,
                                  bool lenient);
LoadedMetadata loadWebuserSecurity(const std::u16string& virtualHosts,
                                   const std::u16string& domain, const std::u16string& user,
                                   std::shared_ptr<IUserInformation> userInformation,
                                   std::shared_ptr<DiskSecurity::ISystemHelper> systemHelper,
                                   bool lenient);

// Writes the entries as a metadata document. An entry that cannot be written (an account
// without SID, text XML cannot carry) throws, or with `lenient` is logged (Warning) and left out.
void writeEntries(const DiskSecurity::EntryCollection& entries, SaxWriter& writer, bool lenient);

// Saves the entries to `file`, or to metadataLocation when `file` is empty (`file` then
// becomes metadataLocation). Creates the file's directory when missing (logging "Creating
// directory for security metadata file '%s'"), marks a ".kelvo" directory hidden, writes a
// temporary file beside the target, flushes it, renames it over the target and flushes the
// directory: a kill at any moment leaves the old file or the new one, complete. The
// collection's storage name becomes metadataLocation. Throws "Unable to save data to unknown
// path" when there is no name; failures carry "Unable to write entries to temporary file:
// '%s'", "Unable to save entries to file: '%s'" and "Unable to call saveToFile(%s)"; the
// previous file is then untouched.
void saveToFile(DiskSecurity::EntryCollection& entries, std::u16string& metadataLocation,
                const std::u16string& file, bool lenient);

} // namespace HostingSecurity
