// tavrix-impersonation-service: the reference impersonation service on the impersonation pipe.
//
//   tavrix-impersonation-service [--run-directory=DIR] [--registry=FILE]
//
// The pipe is "ZRC_pipe" of the product configuration (default "ZRC_pipe {110D2F0F-...}"); only
// root and the uids listed in "ImpersonationServiceClients" of HKLM\SYSTEM\Tavrix are served
// (panel/service_main.h). Programs it starts outlive it: stopping the service does not end them.
#include "panel/impersonation.h"
#include "panel/service_main.h"
#include "runtime/process/impersonation_wire.h"

int main(int argc, char** argv) {
  return panel::serviceMain(argc, argv,
                            {"tavrix-impersonation-service", RunTime::impersonation::pipeName,
                             u"ImpersonationServiceClients", panel::serveImpersonation});
}
