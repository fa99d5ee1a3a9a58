// tavrix-management-service: the reference management service on the management pipe.
//
//   tavrix-management-service [--run-directory=DIR] [--registry=FILE]
//
// The pipe is "zrcpipe" of the product configuration (default zrcpipe); only root and the uids
// listed in "ManagementServiceClients" of HKLM\SYSTEM\Tavrix are answered (panel/service_main.h).
#include "panel/management.h"
#include "panel/service_main.h"
#include "runtime/core/registry.h"
#include "service/pipe_channel.h"

int main(int argc, char** argv) {
  return panel::serviceMain(argc, argv,
                            {"tavrix-management-service",
                             [] { return vpipechannel::pipeNameOf(registry::PRODUCT_CONFIG_KEY, u"zrcpipe"); },
                             u"ManagementServiceClients", panel::serveManagement});
}
