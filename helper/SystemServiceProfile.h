#pragma once
#include <string>

// The service recorded in the network preferences, with its keychain secrets, made real as
// NetworkManager's VPN profile "TavroVPN" whose UUID is the service identifier.

enum class RealiseResult {
    Realised,    // the profile was created or updated in place
    NotRealised, // recorded only: NetworkManager has no plugin for the service's type
    Failed,      // the service is unknown, or NetworkManager is unreachable or refused
};
RealiseResult realiseService(const std::string& serviceId);

// REMOVE_PREF: the service, its keychain items and its profile. True when anything was removed.
bool removeServiceEverywhere(const std::string& serviceId);
