// live_loop: serving the host's requests in live mode.
#pragma once

// Serves requests from standard input until the Exit method has been answered,
// the host's output ends or a transport fault stops it. Returns the exit
// status.
int RunLiveLoop();
