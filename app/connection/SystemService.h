#pragma once
#include <string>

// The system VPN service "TavroVPN" (L2TP over IPsec). Its provisioning and connection side are
// not available on this platform yet: no service is ever found, so these globals stay empty.
extern std::string extThisServiceID;
extern std::string extThisServiceName;
extern bool extConnection; // a connection object exists

void readCurrentService();
// Creates the connection object for extThisServiceID (when one is known) and follows its status.
void attachSystemServiceConnection();
// Starts / stops the L2TP connection; returns false when there is nothing to start.
bool startSystemServiceConnection();
void stopSystemServiceConnection();
// Initialize: has the helper remove the known service ("REMOVE_PREF"), then forgets the service and
// its connection object. Without a known service nothing is sent.
void removeSystemService();
