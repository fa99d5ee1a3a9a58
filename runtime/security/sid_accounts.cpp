// The members of RunTime::Sid that ask the account database.
#include "runtime/security/model/sid.h"

#include <map>
#include <mutex>

#include "os/accounts.h"
#include "os/text.h"
#include "runtime/core/exception.h"
#include "runtime/core/format.h"
#include "runtime/security/model/account_sids.h"
#include "runtime/security/accounts.h"
#include "runtime/security/model/bytes.h"

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

Sid::Sid(const std::u16string& server, std::uint32_t relativeId) {
  os::Result<UserModals> modals = userModals(server);
  if (!modals.ok())
    throwOSError(formatString(u"Unable to get the domain (%s) SID", server), modals.code(),
                 VCONTEXT("RunTime::Sid::Sid"));
  std::vector<std::uint8_t> sid(modals.value().domainSid.data().begin(),
                                modals.value().domainSid.data().end());
  if (sid[1] >= SID_MAX_SUB_AUTHORITIES)
    throwOSError(u"Unable to copy domain sid", os::err::invalidSid, VCONTEXT("RunTime::Sid::Sid"));
  ++sid[1];
  sid.resize(sid.size() + 4);
  bytes::store32(&sid[sid.size() - 4], relativeId);
  setSid(std::move(sid));
}

void Sid::loadFromProcess() { *this = userSid(os::threadUserId()); }

void Sid::loadFromProcessOwner() {
  // What a thread creates is owned by the user it acts as.
  loadFromProcess();
}

bool Sid::loadByServerAndAccountNames(const std::u16string& /*server*/,
                                      const std::u16string& account, bool mustExist) {
  for (const std::u16string& form : nameForms(account)) {
    Sid found;
    if (nameCache().find(form, found)) {
      *this = std::move(found);
      return true;
    }
    os::Result<Sid> lookup = lookupAccountName(form);
    if (lookup.ok()) {
      nameCache().store(form, lookup.value());
      *this = std::move(lookup.value());
      return true;
    }
  }
  if (mustExist)
    throwOSError(formatString(u"Unable to lookup SID for name %s", account), os::err::noneMapped,
                 VCONTEXT("RunTime::Sid::loadByServerAndAccountNames"));
  return false;
}

void Sid::lookupByAccountNameAndDomain() {
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  os::Result<Sid> found = lookupAccountSid(*this);
  if (!found.ok())
    throwOSError(u"Unable to lookup name for SID", found.code(),
                 VCONTEXT("RunTime::Sid::lookupByAccountNameAndDomain"));
  setAccount(found.value().name(), found.value().domain(), found.value().kind());
}

} // namespace RunTime
