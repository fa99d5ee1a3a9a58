// What the impersonation service does with a connection: for each request it checks the account
// (never uid 0 or System), acknowledges the head, and for a run starts the program as the
// account and answers with its process handle.
#pragma once

#include "os/reaper.h"
#include "panel/channel.h"

namespace panel {

// Serves one connection's requests until the peer leaves. A malformed request gets an error reply
// and ends the connection (Drop); a head naming an account the service does not act as, or a
// program that cannot be started, gets an error reply and the connection goes on. The programs
// it starts are watched by the reaper, which reports each one's exit code when it ends.
void serveImpersonation(Channel& channel, os::ProgramReaper& reaper);

} // namespace panel
