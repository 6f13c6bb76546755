// What the stand-in echo server shows to tests: the servers built and not yet destroyed in this
// process, in creation order. A pointer stays valid while the server's owner (the echo manager)
// keeps it; call from one thread at a time with the owner's operations.
#pragma once

#include <vector>

#include <host/videoecho.h>

namespace tarn::mediadispatch::standin {

std::vector<VideoEcho*> liveEchoServers();

}  // namespace tarn::mediadispatch::standin
