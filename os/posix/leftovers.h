// Temporary files that a killed writer of a store left beside it.
//
// Why: a store is rewritten through a temporary file in its directory and a rename; a writer
// killed in between leaves its temporary file for ever. The next writer of the same store,
// holding the store's writers' lock, knows that no live writer has one, and removes them.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

namespace os::posix {

// Removes each entry of the directory `directory` whose name `isTemporary` accepts when it is a
// regular file of the effective user, looked at without following a link (a link, a directory
// or another user's file of that name stays). Best effort: what cannot be listed, looked at or
// removed stays, and the write goes on.
void removeLeftovers(int directory, const std::function<bool(std::string_view name)>& isTemporary);

// Whether `name` is `prefix` followed by `count` characters that `accepted` takes and then
// `suffix`.
bool matchesTemporary(std::string_view name, std::string_view prefix, std::size_t count,
                      bool (*accepted)(char), std::string_view suffix);

} // namespace os::posix
