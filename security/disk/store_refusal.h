// The message of a store file refused because a site user could have planted it.
#pragma once

#include <string>

#include "os/store_file.h"

namespace DiskSecurity {

// Whether a store file refused this way is passed over with a warning when read: it may be what a
// site user wrote, and reading nothing from it is safe. Links and other planted names fail the read.
inline bool refusalSkipsRead(os::StoreRefusal refusal) {
  return refusal == os::StoreRefusal::directoryNotTrusted ||
         refusal == os::StoreRefusal::fileNotTrusted;
}

// The message of a store file refused because of who owns or may write it (or its directory).
std::u16string storeRefusalText(os::StoreRefusal refusal, const std::u16string& file);

// Throws VAccessDeniedException naming the file (or its directory) and why it is refused.
[[noreturn]] void throwStoreRefusal(os::StoreRefusal refusal, const std::u16string& file);

} // namespace DiskSecurity
