// DiskSecurity::ConfigImporter: the streaming-reader handler that fills one entry collection
// from the "Entry" elements of a metadata or configuration file; every other element and event
// is ignored.
#pragma once

#include <optional>

#include "runtime/core/exception.h"

#include "security/disk/entry_collection.h"
#include "xml/content_handler.h"

namespace DiskSecurity {

class ConfigImporter : public ContentHandlerWrapper {
public:
  ConfigImporter(EntryCollection& collection, bool lenient);

  // Turns the attributes of one "Entry" element into entries.
  class EntryImporter {
  public:
    EntryImporter(EntryCollection& collection, bool lenient);
    // Reads the entry and inserts it, with its "zrcadm_users" twin when its account is the
    // local account "zrcadm". Throws the vocabulary's "Unknown ..." messages, the account
    // look-up's failure (an unmapped name only without lenient), "Unable to convert a string
    // to SID" for a bad SidStr.
    void importEntry(const SaxAttributes& attributes);

  private:
    RunTime::Sid loadAccount(const SaxAttributes& attributes);
    // The SID of a local account, or nothing when it does not exist (looked up once).
    const std::optional<RunTime::Sid>& localAccount(std::optional<std::optional<RunTime::Sid>>& cache,
                                                    const char16_t* name);

    EntryCollection& collection_;
    bool lenient_;
    std::optional<std::optional<RunTime::Sid>> administrator_;
    std::optional<std::optional<RunTime::Sid>> administrators_;
  };

protected:
  void startElement(std::u16string_view uri, std::u16string_view localName,
                    std::u16string_view qName, const SaxAttributes& attributes) override;

private:
  EntryImporter importer_;
};

// Whether the failure in flight is the look-up's "no account has this name" (1332).
bool isUnmappedName(const vexception& e);

} // namespace DiskSecurity
