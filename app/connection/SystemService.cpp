#include "app/connection/SystemService.h"

std::string extThisServiceID;
std::string extThisServiceName;
bool extConnection = false;

void readCurrentService() {}
void attachSystemServiceConnection() {}
bool startSystemServiceConnection() { return false; }
void stopSystemServiceConnection() {}
