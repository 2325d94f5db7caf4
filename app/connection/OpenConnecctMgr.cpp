#include "app/connection/OpenConnecctMgr.h"

void OpenConnectMgr::Start() {}
void OpenConnectMgr::Stop(bool) {}
