#include "helper/HelperLog.h"
#include "helper/TunnelRecord.h"
#include "helper/socketsrv.h"

#include <cstring>

int main(int argc, char** argv) {
    helper::logToFileFromEnvironment();
    // Run by the supervisor or the service manager after an instance has ended: the tunnels of
    // instances that are gone are ended too.
    if (argc == 2 && std::strcmp(argv[1], "--cleanup") == 0) {
        helper::cleanUpVanishedTunnels();
        return 0;
    }
    helper::hlog("tvapphelper!");
    server_start();
    return 0;
}
