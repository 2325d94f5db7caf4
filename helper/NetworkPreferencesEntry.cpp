#include "helper/NetworkPreferencesEntry.h"

#include "helper/HelperLog.h"

// The L2TP provisioning (network-preferences store and NetworkManager profile) is not built yet:
// report failure honestly so that SET_KEY answers "0" rather than pretending a service exists.
bool writePreferences(const char* serverAddr, const char* accountName, bool isL2tp, const char* dnsPrimary,
                      const char* dnsSecondary, int ccp40, int ccp128, std::string& serviceId) {
    (void)serverAddr;
    (void)accountName;
    (void)isL2tp;
    (void)dnsPrimary;
    (void)dnsSecondary;
    (void)ccp40;
    (void)ccp128;
    serviceId.clear();
    helper::hlog("writePreferences start.\n");
    helper::hlog("writePreferences: VPN service provisioning is not available on this system.\n");
    return false;
}
