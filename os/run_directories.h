// Directories that a confined program's run is given: the site directories of its user and a
// private temporary directory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/error.h"

namespace os {

// The host paths of the directories directly below `sites` (a Windows-form or host path) that
// belong to the user, or that hold at their top a directory of the user (a site's web root
// below a root-owned domain directory). Links are not followed; an unreadable `sites` gives none.
std::vector<std::u16string> siteDirectoriesOf(std::u16string_view sites, std::uint32_t uid);

// Makes a new directory "tavrix-run-XXXXXX" in /tmp, owned by the user and group, mode 0700,
// and returns its host path.
Result<std::u16string> makePrivateTemporaryDirectory(std::uint32_t uid, std::uint32_t gid);

} // namespace os
