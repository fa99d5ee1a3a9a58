#include <memory>
#include <string>
#include <vector>

#include "app/tavriximp.h"
#include "app/version.h"
#include "os/console.h"
#include "os/text.h"
#include "runtime/security/group_membership.h"
#include "service/directory_membership.h"

int main(int argc, char** argv) {
  std::vector<std::u16string> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(os::utf16FromUtf8(argv[i]));
  if (asksForVersion(argc, arguments.data())) {
    os::writeStdout(versionLine());
    return 0;
  }
  // Directory accounts' memberships come from the management service, a layer above the
  // account information that asks for them.
  RunTime::installDirectoryMembership(std::make_shared<ServiceDirectoryMembership>());
  tavriximp application;
  return application.run(argc, arguments.data());
}
