// The common exit routine. The sockets layer needs no clean-up on Linux;
// standard output is flushed so a last message is not lost.
#include "engine/platform.h"
#include "server/config.h"

void exitServer(int status) { platformExit(status); }
