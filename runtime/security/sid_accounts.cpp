// The throwing account lookups of accounts.h: the name forms tried and the cache of names.
#include "runtime/security/accounts.h"

#include <map>
#include <mutex>

#include "os/accounts.h"
#include "os/text.h"
#include "runtime/core/exception.h"
#include "runtime/core/format.h"
#include "runtime/security/model/account_sids.h"

namespace RunTime {
namespace {

// The name forms an account is tried in: as given, then with the name part in lower case (the
// database's names are case-sensitive and conventionally lower case; account names are not).
std::vector<std::u16string> nameForms(const std::u16string& account) {
  std::u16string lower = account;
  std::size_t slash = account.find(u'\\');
  for (std::size_t i = slash == std::u16string::npos ? 0 : slash + 1; i < lower.size(); ++i)
    lower[i] = os::toLower(lower[i]);
  if (lower == account) return {account};
  return {account, lower};
}

// Accounts already resolved by name in this process.
class NameCache {
public:
  bool find(const std::u16string& name, Sid& out) {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = entries_.find(name);
    if (found == entries_.end()) return false;
    out = found->second;
    return true;
  }
  void store(const std::u16string& name, const Sid& sid) {
    std::lock_guard<std::mutex> guard(lock_);
    entries_[name] = sid;
  }

private:
  std::mutex lock_;
  std::map<std::u16string, Sid> entries_;
};

NameCache& nameCache() {
  static NameCache cache;
  return cache;
}

} // namespace

Sid threadUserSid() { return userSid(os::threadUserId()); }

Sid accountByName(const std::u16string& /*server*/, const std::u16string& account) {
  for (const std::u16string& form : nameForms(account)) {
    Sid found;
    if (nameCache().find(form, found)) return found;
    os::Result<Sid> lookup = lookupAccountName(form);
    if (lookup.ok()) {
      nameCache().store(form, lookup.value());
      return std::move(lookup.value());
    }
  }
  throwOSError(formatString(u"Unable to lookup SID for name %s", account), os::err::noneMapped,
               VCONTEXT("RunTime::accountByName"));
}

} // namespace RunTime
