#include "app/version.h"

#include "app/build_info.h"

bool asksForVersion(int argc, const std::u16string* argv) {
  return argc >= 2 && (argv[1] == u"--version" || argv[1] == u"-V");
}

std::string versionLine() { return "tavrix " TAVRIX_VERSION " (" TAVRIX_COMMIT ")\n"; }
