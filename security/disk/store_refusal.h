// The message of a store file refused because a site user could have planted it.
#pragma once

#include <string>

#include "os/store_file.h"

namespace DiskSecurity {

// Throws VAccessDeniedException naming the file (or its directory) and why it is refused.
[[noreturn]] void throwStoreRefusal(os::StoreRefusal refusal, const std::u16string& file);

} // namespace DiskSecurity
