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
// a secret owner has blanked or deleted is carried as empty, never kept from before. The service
// is noted as provisioned for owner.
RealiseResult realiseService(const std::string& serviceId, uid_t owner = 0);

// The user the service was last provisioned for; kNoUser when not known.
inline constexpr uid_t kNoUser = static_cast<uid_t>(-1);
uid_t provisionedUser(const std::string& serviceId);

// True when serviceId is a service the helper itself provisioned: one named "TavroVPN" in its own
// network preferences. Nothing else is ever removed or changed for a request.
bool isProvisionedService(const std::string& serviceId);

// REMOVE_PREF: the caller's keychain items of the service; then, when no other user's items remain,
// the service and its profile too. While another user's remain, the service stays, and a profile
// that carried the caller's secrets is provisioned again from theirs. Only for a provisioned
// service (checked by the caller).
void removeServiceOf(const std::string& serviceId, uid_t caller);
