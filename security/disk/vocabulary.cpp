#include "security/disk/vocabulary.h"

#include <algorithm>

#include "runtime/core/exception.h"
#include "runtime/core/format.h"

namespace DiskSecurity {
namespace {

[[noreturn]] void unknownName(std::u16string_view what, std::u16string_view value,
                              const std::vector<std::u16string_view>& known) {
  std::vector<std::u16string_view> sorted = known;
  std::sort(sorted.begin(), sorted.end());
  std::u16string message = std::u16string(what) + std::u16string(value) + u", known names are:\n";
  for (std::u16string_view name : sorted) message += std::u16string(name) + u"\n";
  throw vexception(message, VCONTEXT("DiskSecurity::ConfigImporter::EntryImporter"));
}

std::vector<std::u16string_view> namesOf(const std::vector<VocabularyName>& table) {
  std::vector<std::u16string_view> names;
  for (const VocabularyName& entry : table) names.push_back(entry.name);
  return names;
}

std::uint32_t lookUp(const std::vector<VocabularyName>& table, std::u16string_view what,
                     std::u16string_view name) {
  for (const VocabularyName& entry : table)
    if (entry.name == name) return entry.value;
  unknownName(what, name, namesOf(table));
}

std::uint32_t readValue(const std::vector<VocabularyName>& table, std::u16string_view what,
                        std::u16string_view text) {
  if (std::optional<std::uint32_t> number = parseNumber(text)) return *number;
  return lookUp(table, what, text);
}

std::u16string hex(std::uint32_t value) { return formatString(u"0x%x", value); }

std::u16string writeValue(const std::vector<VocabularyName>& table, std::uint32_t value) {
  for (const VocabularyName& entry : table)
    if (entry.value == value) return std::u16string(entry.name);
  return hex(value);
}

int digitValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'z') return c - u'a' + 10;
  if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
  return 99;
}

// One well-known account: its name and its SID.
struct WellKnown {
  std::u16string_view name;
  std::u16string_view sid;
};

// The computer's own Administrator and Guest are relative ids 500 and 501 of its account
// domain. Here the users' domain S-1-22-1 counts uids, so 500 would be whoever has uid 500: they
// get a domain no host account belongs to, and an entry for them grants nobody anything.
constexpr WellKnown WELL_KNOWN[] = {
    {u"Null", u"S-1-0-0"},
    {u"Everyone", u"S-1-1-0"},
    {u"Local", u"S-1-2-0"},
    {u"CreatorOwner", u"S-1-3-0"},
    {u"CreatorGroup", u"S-1-3-1"},
    {u"CreatorOwnerServer", u"S-1-3-2"},
    {u"CreatorGroupServer", u"S-1-3-3"},
    {u"Dialup", u"S-1-5-1"},
    {u"Network", u"S-1-5-2"},
    {u"Batch", u"S-1-5-3"},
    {u"Interactive", u"S-1-5-4"},
    {u"Service", u"S-1-5-6"},
    {u"AnonymousLogon", u"S-1-5-7"},
    {u"Proxy", u"S-1-5-8"},
    {u"ServerLogon", u"S-1-5-9"},
    {u"Self", u"S-1-5-10"},
    {u"AuthenticatedUser", u"S-1-5-11"},
    {u"RestrictedCode", u"S-1-5-12"},
    {u"TerminalServer", u"S-1-5-13"},
    {u"System", u"S-1-5-18"},
    {u"LocalService", u"S-1-5-19"},
    {u"NetworkService", u"S-1-5-20"},
    {u"ThisOrganization", u"S-1-5-15"},
    {u"Administrators", u"S-1-5-32-544"},
    {u"Users", u"S-1-5-32-545"},
    {u"Guests", u"S-1-5-32-546"},
    {u"PowerUsers", u"S-1-5-32-547"},
    {u"RemoteDesktopUsers", u"S-1-5-32-555"},
    {u"AccountOps", u"S-1-5-32-548"},
    {u"SystemOps", u"S-1-5-32-549"},
    {u"PrintOps", u"S-1-5-32-550"},
    {u"BackupOps", u"S-1-5-32-551"},
    {u"Replicator", u"S-1-5-32-552"},
    {u"RasServers", u"S-1-5-32-553"},
    {u"PreW2kCompAccess", u"S-1-5-32-554"},
    {u"Administrator", u"S-1-5-21-0-0-0-500"},
    {u"Guest", u"S-1-5-21-0-0-0-501"},
};

// Every well-known account with its SID, made once.
const std::vector<std::pair<std::u16string_view, RunTime::Sid>>& wellKnownTable() {
  static const std::vector<std::pair<std::u16string_view, RunTime::Sid>> table = [] {
    std::vector<std::pair<std::u16string_view, RunTime::Sid>> made;
    for (const WellKnown& account : WELL_KNOWN) {
      RunTime::Sid sid;
      sid.loadFromSidString(account.sid);
      sid.setAccount(std::u16string(account.name), {}, RunTime::SidTypeWellKnownGroup);
      made.emplace_back(account.name, std::move(sid));
    }
    return made;
  }();
  return table;
}

} // namespace

const std::vector<VocabularyName>& aceFlagNames() {
  static const std::vector<VocabularyName> table = {
      {u"ThisObjectOnly", 0},          {u"FilesOnly", 9},
      {u"SubfoldersOnly", 10},         {u"SubfoldersAndFilesOnly", 11},
      {u"ThisFolderAndFiles", 1},      {u"ThisFolderAndSubfolders", 2},
      {u"ThisFolderSubfoldersAndFiles", 3},
  };
  return table;
}

const std::vector<VocabularyName>& accessMaskNames() {
  static const std::vector<VocabularyName> table = {
      {u"NoAccess", 0x0},
      {u"Read", 0x120089},
      {u"ReadAndExecute", 0x1200A9},
      {u"ReadAndDelete", 0x10001},
      {u"ReadAttributes", 0x80},
      {u"ReadAttributesAndSynchronize", 0x100080},
      {u"ReadAttributesAndListDirectoryAndSynchronize", 0x100081},
      {u"ReadWrite", 0x12019F},
      {u"Modify", 0x1301BF},
      {u"FullAccess", 0x1F01FF},
      {u"FileRemovable", 0xD0150},
      {u"FileNonRemovable", 0x1200AF},
      {u"FtpSubaccountsNonRemovable", 0xD0156},
      {u"SpecialModify", 0x120026},
      {u"ListAndAddFilesAndSubdirectories", 0x100027},
      {u"SpecialReadWrite", 0x1F01DF},
  };
  return table;
}

const std::vector<VocabularyName>& entryFlagNames() {
  static const std::vector<VocabularyName> table = {
      {u"Default", 0},           {u"Deny", 1},
      {u"FullPath", 2},          {u"BreakInheritance", 4},
      {u"IgnoreErrors", 8},      {u"NoPropagate", 16},
      {u"SkipPath", 32},         {u"RepaireFolder", 64},
      {u"ThisFileOnly", 128},    {u"CheckThisPathExactly", 256},
      {u"InheritFromParent", 512}, {u"AllSplittedBySpaceNames", 1024},
      {u"RemoveAccess", 2048},   {u"EachPartOfPath", 4096},
  };
  return table;
}

const std::vector<VocabularyName>& accountTypeNames() {
  static const std::vector<VocabularyName> table = {{u"Builtin", ACCOUNT_BUILTIN},
                                                     {u"Custom", ACCOUNT_CUSTOM}};
  return table;
}

std::optional<std::uint32_t> parseNumber(std::u16string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) ++i;
  if (i == text.size()) return text.empty() ? std::optional<std::uint32_t>(0) : std::nullopt;
  bool negative = false;
  if (text[i] == u'+' || text[i] == u'-') negative = text[i++] == u'-';
  unsigned base = 10;
  if (i + 1 < text.size() && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X') &&
      i + 2 < text.size() && digitValue(text[i + 2]) < 16) {
    base = 16;
    i += 2;
  } else if (i < text.size() && text[i] == u'0') {
    base = 8;
  }
  if (i == text.size()) return std::nullopt;
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const int digit = digitValue(text[i]);
    if (digit >= static_cast<int>(base)) return std::nullopt;
    value = std::min<std::uint64_t>(value * base + static_cast<unsigned>(digit), 0x100000000ull);
  }
  if (value > 0xFFFFFFFFull) return 0xFFFFFFFFu;
  const auto result = static_cast<std::uint32_t>(value);
  return negative ? static_cast<std::uint32_t>(0u - result) : result;
}

std::uint32_t readAceFlags(std::u16string_view text) {
  return readValue(aceFlagNames(), u"Unknown ACE flags: ", text);
}

std::uint32_t readAccessMask(std::u16string_view text) {
  return readValue(accessMaskNames(), u"Unknown access mask: ", text);
}

std::uint32_t readAccountType(std::u16string_view text) {
  return readValue(accountTypeNames(), u"Unknown accoun type: ", text);
}

std::uint32_t readEntryFlags(std::u16string_view text) {
  if (std::optional<std::uint32_t> number = parseNumber(text)) return *number;
  std::uint32_t flags = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t bar = text.find(u'|', start);
    flags |= lookUp(entryFlagNames(), u"Unknown entry flag: ", text.substr(start, bar - start));
    if (bar == text.npos) return flags;
    start = bar + 1;
  }
}

std::u16string writeAceFlags(std::uint32_t flags) { return writeValue(aceFlagNames(), flags); }
std::u16string writeAccessMask(std::uint32_t mask) { return writeValue(accessMaskNames(), mask); }
std::u16string writeEntryFlags(std::uint32_t flags) { return hex(flags); }

RunTime::Sid wellKnownAccount(std::u16string_view name) {
  for (const auto& [known, sid] : wellKnownTable())
    if (known == name) return sid;
  std::vector<std::u16string_view> names;
  for (const WellKnown& account : WELL_KNOWN) names.push_back(account.name);
  unknownName(u"Unknown account name: ", name, names);
}

std::optional<std::u16string> wellKnownName(const RunTime::Sid& sid) {
  if (sid.empty()) return std::nullopt;
  for (const auto& [known, knownSid] : wellKnownTable())
    if (knownSid == sid) return std::u16string(known);
  return std::nullopt;
}

} // namespace DiskSecurity
