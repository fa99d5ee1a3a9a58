// The driver of bench/acl.sh:
//   tavrix_bench_acl grant <directory> <group>   one inheritable full-access grant to the group
//       (0x1F01FF, object and container inherit) written at the directory, with its projection.
#include <cstdio>
#include <string>

#include "os/text.h"
#include "runtime/core/exception.h"
#include "runtime/security/access.h"

namespace {

int grant(const std::string& directory, const std::string& group) {
  RunTime::Sid sid;
  sid.loadByServerAndAccountNames(u"", os::utf16FromUtf8(group));
  RunTime::Ace ace;
  ace.init(RunTime::ACCESS_ALLOWED_ACE_TYPE,
           RunTime::OBJECT_INHERIT_ACE | RunTime::CONTAINER_INHERIT_ACE, 0x1F01FF, sid);
  RunTime::Acl acl;
  acl.insertAce(0, ace);
  auto skipped = RunTime::Access::setSecurity(os::utf16FromUtf8(directory),
                                              RunTime::Access::SE_FILE_OBJECT, acl);
  return skipped.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
  std::string command = argc == 4 ? argv[1] : "";
  try {
    if (command == "grant") return grant(argv[2], argv[3]);
  } catch (const vexception& e) {
    std::fprintf(stderr, "%s\n", os::utf8FromUtf16(e.fullText()).c_str());
    return 2;
  }
  std::fprintf(stderr, "usage: %s grant <directory> <group>\n", argv[0]);
  return 2;
}
