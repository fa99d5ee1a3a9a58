#include "os/posix/leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "os/posix/fd.h"

namespace os::posix {

void removeLeftovers(int directory, const std::function<bool(std::string_view name)>& isTemporary) {
  std::vector<std::string> names;
  {
    DirStream stream = openDirStream(Fd(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
    if (!stream.valid()) return;
    while (const dirent* entry = ::readdir(stream.get()))
      if (isTemporary(entry->d_name)) names.emplace_back(entry->d_name);
  }
  for (const std::string& name : names) {
    struct stat st;
    if (::fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        st.st_uid == ::geteuid())
      (void)::unlinkat(directory, name.c_str(), 0);
  }
}

bool matchesTemporary(std::string_view name, std::string_view prefix, std::size_t count,
                      bool (*accepted)(char), std::string_view suffix) {
  if (name.size() != prefix.size() + count + suffix.size() || !name.starts_with(prefix) ||
      !name.ends_with(suffix))
    return false;
  for (char c : name.substr(prefix.size(), count))
    if (!accepted(c)) return false;
  return true;
}

} // namespace os::posix
