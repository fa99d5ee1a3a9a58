#include "security/disk/store_refusal.h"

#include "os/path.h"
#include "runtime/core/exception.h"
#include "runtime/fs/path/filename.h"

namespace DiskSecurity {

std::u16string storeRefusalText(os::StoreRefusal refusal, const std::u16string& given) {
  const std::u16string file = os::shownPath(given);
  if (refusal == os::StoreRefusal::directoryNotTrusted)
    return u"Refused: the directory '" + os::shownPath(VFileName::removeFileSpec(given)) +
           u"' is not root's, or another user may write it";
  return u"Refused: the file '" + file + u"' is not root's, or another user may write it";
}

void throwStoreRefusal(os::StoreRefusal refusal, const std::u16string& given) {
  const std::u16string file = os::shownPath(given);
  std::u16string message;
  switch (refusal) {
  case os::StoreRefusal::directoryIsLink:
    message = u"Refused: the directory '" + os::shownPath(VFileName::removeFileSpec(given)) +
              u"' is a symbolic link";
    break;
  case os::StoreRefusal::fileIsLink:
    message = u"Refused: the file '" + file + u"' is a symbolic link";
    break;
  case os::StoreRefusal::hardLinked:
    message = u"Refused: the file '" + file + u"' has more than one hard link";
    break;
  case os::StoreRefusal::directoryNotTrusted:
  case os::StoreRefusal::fileNotTrusted:
    message = storeRefusalText(refusal, file);
    break;
  case os::StoreRefusal::notRegular:
  case os::StoreRefusal::none:
    message = u"Refused: '" + file + u"' is not a regular file";
    break;
  }
  throw VAccessDeniedException(message, os::err::accessDenied,
                               VCONTEXT("DiskSecurity::throwStoreRefusal"));
}

} // namespace DiskSecurity
