#pragma once
#include <string>
#include <sys/types.h>

// The service recorded in the network preferences, with its keychain secrets, made real as
// NetworkManager's VPN profile "TavroVPN" whose UUID is the service identifier.

enum class RealiseResult {
    Realised,    // the profile was created or updated in place
    NotRealised, // recorded only: NetworkManager has no plugin for the service's type
    Failed,      // the service is unknown, or NetworkManager is unreachable or refused
};
// The profile carries the secrets of owner's keychain items (the user whose request provisions it);
// a secret owner has blanked or deleted is carried as empty, never kept from before.
RealiseResult realiseService(const std::string& serviceId, uid_t owner = 0);

// True when serviceId is a service the helper itself provisioned: one named "TavroVPN" in its own
// network preferences. Nothing else is ever removed or changed for a request.
bool isProvisionedService(const std::string& serviceId);

// REMOVE_PREF: the service, its keychain items and its profile. True when anything was removed.
// Only for a provisioned service (checked by the caller).
bool removeServiceEverywhere(const std::string& serviceId);
