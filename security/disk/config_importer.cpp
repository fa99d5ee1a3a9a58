#include "security/disk/config_importer.h"

#include "os/error.h"
#include "runtime/core/guard.h"
#include "runtime/security/model_failures.h"
#include "security/disk/vocabulary.h"

namespace DiskSecurity {

bool isUnmappedName(const vexception& e) {
  const auto* os = dynamic_cast<const vosexception*>(&e);
  return os && os->code() == os::err::noneMapped;
}

ConfigImporter::EntryImporter::EntryImporter(EntryCollection& collection, bool lenient)
    : collection_(collection), lenient_(lenient) {}

const std::optional<RunTime::Sid>&
ConfigImporter::EntryImporter::localAccount(std::optional<std::optional<RunTime::Sid>>& cache,
                                            const char16_t* name) {
  if (!cache) {
    try {
      cache = collection_.systemHelper()->getAccount(name, {});
    } catch (const vexception& e) {
      if (!isUnmappedName(e)) throw;
      cache = std::optional<RunTime::Sid>();
    }
  }
  return *cache;
}

RunTime::Sid ConfigImporter::EntryImporter::loadAccount(const SaxAttributes& attributes) {
  const std::u16string name = attributes.getValueFromName(u"Account");
  if (readAccountType(attributes.getValueFromName(u"AccounType")) == ACCOUNT_BUILTIN)
    return wellKnownAccount(name);
  const std::u16string domain = attributes.getValueFromName(u"Domain");
  try {
    return collection_.systemHelper()->getAccount(name, domain);
  } catch (const vexception& e) {
    if (!lenient_ || !isUnmappedName(e)) throw;
  }
  // The account's name no longer resolves (a deleted account, a directory out of reach): the
  // stored SID stands for it, and the stored name is kept so that a save writes it again.
  RunTime::Sid account;
  RunTime::withSystemErrors([&] { account.loadFromSidString(attributes.getValueFromName(u"SidStr")); });
  account.setAccount(name, domain, RunTime::SidTypeUnknown);
  return account;
}

void ConfigImporter::EntryImporter::importEntry(const SaxAttributes& attributes) {
  AccessEntry entry;
  entry.account = loadAccount(attributes);
  entry.path = attributes.getValueFromName(u"Path");
  entry.subPath = attributes.getValueFromName(u"SubPath");
  entry.aceFlags = readAceFlags(attributes.getValueFromName(u"AceFlags"));
  entry.accessMask = readAccessMask(attributes.getValueFromName(u"AccessMask"));
  entry.entryFlags = static_cast<std::int32_t>(readEntryFlags(attributes.getValueFromName(u"EntryFlags")));
  entry.tag = attributes.getValueFromName(u"Tag");
  entry.tag2 = attributes.getValueFromName(u"Tag2");
  entry.systemHelper = collection_.systemHelper();

  // The panel's administrator account works through its group as well.
  const std::optional<RunTime::Sid>& administrator = localAccount(administrator_, u"zrcadm");
  const bool twin = administrator && *administrator == entry.account;
  collection_.insert(entry);
  if (!twin) return;
  const std::optional<RunTime::Sid>& group = localAccount(administrators_, u"zrcadm_users");
  if (!group) {
    if (lenient_) return;
    throwOSError(u"Unable to lookup SID for name zrcadm_users", os::err::noneMapped,
                 VCONTEXT("DiskSecurity::ConfigImporter::EntryImporter::importEntry"));
  }
  entry.account = *group;
  collection_.insert(std::move(entry));
}

ConfigImporter::ConfigImporter(EntryCollection& collection, bool lenient)
    : importer_(collection, lenient) {}

void ConfigImporter::startElement(std::u16string_view, std::u16string_view localName,
                                  std::u16string_view, const SaxAttributes& attributes) {
  if (localName != u"Entry") return;
  guarded("DiskSecurity::ConfigImporter::startElement", __LINE__,
          [] { return std::u16string(u"Unable to call startElement()"); }, [&] {
            guarded("DiskSecurity::ConfigImporter::EntryImporter::importEntry", __LINE__,
                    [] { return std::u16string(u"Unable to load entry from XML"); },
                    [&] { importer_.importEntry(attributes); });
          });
}

} // namespace DiskSecurity
