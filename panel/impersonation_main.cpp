// tavrix-impersonation-service: the reference impersonation service on the impersonation pipe.
//
//   tavrix-impersonation-service [--run-directory=DIR] [--registry=FILE]
//
// The pipe is "ZRC_pipe" of the product configuration (default "ZRC_pipe {110D2F0F-...}"); only
// root and the uids listed in "ImpersonationServiceClients" of HKLM\SYSTEM\Tavrix are served
// (panel/service_main.h). Programs it starts outlive it: stopping the service does not end them.
//
// Each program runs in a control group of its own below the service's (systemd: Delegate=yes),
// or in a process group of its own where none can be made; when it ends, what it left behind is
// killed. TAVRIX_NO_CGROUPS=1 in the environment keeps to process groups. One thread watches every
// running program (os/reaper.h).
#include <cstdlib>
#include <string>
#include <string_view>

#include "os/reaper.h"
#include "os/spawn.h"
#include "os/text.h"
#include "panel/impersonation.h"
#include "panel/server.h"
#include "panel/service_main.h"
#include "runtime/core/exception.h"
#include "runtime/process/impersonation_wire.h"

int main(int argc, char** argv) {
  const char* noControlGroups = std::getenv("TAVRIX_NO_CGROUPS");
  panel::logLine(os::chooseProgramGrouping(!noControlGroups || std::string_view(noControlGroups) != "1"));
  if (os::landlockVersion() == 0)
    panel::logLine("warning: this kernel has no Landlock; programs run without file-system confinement");
  else
    panel::logLine("programs run confined by Landlock (ABI " + std::to_string(os::landlockVersion()) + ")");
  // Before any other thread: SIGCHLD is blocked from here on for every thread of the service.
  os::Result<os::ProgramReaper> reaper = os::ProgramReaper::start();
  if (!reaper.ok()) {
    panel::logLine("cannot watch for the end of programs: " + os::utf8FromUtf16(osErrorMessage(reaper.code())));
    return 1;
  }
  // The reaper outlives every connection: the server has ended them all when serviceMain returns.
  return panel::serviceMain(
      argc, argv,
      {"tavrix-impersonation-service", RunTime::impersonation::pipeName, u"ImpersonationServiceClients",
       [&reaper](panel::Channel& channel) { panel::serveImpersonation(channel, reaper.value()); }});
}
