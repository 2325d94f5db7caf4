#include "helper/HelperLog.h"
#include "helper/LeakBlock.h"
#include "helper/TunnelRecord.h"
#include "helper/socketsrv.h"

#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    helper::logToFileFromEnvironment();
    // Run by the supervisor or the service manager after an instance has ended: the tunnels of
    // instances that are gone are ended too, and their leak block goes.
    if (argc == 2 && std::strcmp(argv[1], "--cleanup") == 0) {
        helper::cleanUpVanishedTunnels();
        helper::removeStaleLeakBlock();
        return 0;
    }
    // Run by openconnect's routing script and NetworkManager's dispatcher script, as root.
    if (argc >= 2 && std::strcmp(argv[1], "--leak-block") == 0)
        return helper::leakBlockCommand(std::vector<std::string>(argv + 2, argv + argc));
    helper::hlog("tvapphelper!");
    server_start();
    return 0;
}
