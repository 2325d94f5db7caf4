#include "helper/HelperLog.h"
#include "helper/socketsrv.h"

int main() {
    helper::hlog("tvapphelper!");
    server_start();
    return 0;
}
