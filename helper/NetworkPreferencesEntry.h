#pragma once
#include <string>

// The system VPN service "TavroVPN" (L2TP over IPSec, or PPTP): created, or updated in place when
// it already exists, with the server, account, CCP/MPPE options, DNS servers and the keychain
// references of its two secrets. On success serviceId receives the service's identifier.
bool writePreferences(const char* serverAddr, const char* accountName, bool isL2tp, const char* dnsPrimary,
                      const char* dnsSecondary, int ccp40, int ccp128, std::string& serviceId);
