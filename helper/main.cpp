#include "helper/HelperLog.h"
#include "helper/LeakBlock.h"
#include "helper/TunnelRecord.h"
#include "helper/socketsrv.h"

#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    helper::logToFileFromEnvironment();
    // Run by the supervisor or the service manager after an instance has ended, and when the
    // socket starts (at boot): the tunnels of instances that are gone are ended too, their leak
    // block goes, and a resolver link into an emptied /run is mended.
    if (argc == 2 && std::strcmp(argv[1], "--cleanup") == 0) {
        helper::cleanUpVanishedTunnels();
        helper::removeStaleLeakBlock();
        helper::repairDanglingResolverLink();
        return 0;
    }
    // Run by openconnect's routing script and NetworkManager's dispatcher script, as root.
    if (argc >= 2 && std::strcmp(argv[1], "--leak-block") == 0)
        return helper::leakBlockCommand(std::vector<std::string>(argv + 2, argv + argc));
    helper::hlog("tvapphelper!");
    server_start();
    return 0;
}
