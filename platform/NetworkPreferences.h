#pragma once
#include "platform/RootJsonStore.h"

#include <string>
#include <vector>

// The system network preferences: network services by identifier, each with its name, enabled flag
// and the Interface / PPP / IPv4 / DNS / IPSec dictionaries under the keys below, and the current
// set with its service order. Root-owned (platform::RootJsonStore); one writer at a time.
namespace platform {

// Dictionary and key names of the network preferences.
inline constexpr const char* kSCPrefNetworkServices = "NetworkServices";
inline constexpr const char* kSCPrefSets = "Sets";
inline constexpr const char* kSCPrefCurrentSet = "CurrentSet";
inline constexpr const char* kSCPropUserDefinedName = "UserDefinedName";
inline constexpr const char* kSCPropServiceOrder = "ServiceOrder";
inline constexpr const char* kServiceEnabled = "Enabled";
inline constexpr const char* kSCEntNetInterface = "Interface";
inline constexpr const char* kSCEntNetPPP = "PPP";
inline constexpr const char* kSCEntNetIPv4 = "IPv4";
inline constexpr const char* kSCEntNetDNS = "DNS";
inline constexpr const char* kSCEntNetIPSec = "IPSec";
inline constexpr const char* kSCPropNetInterfaceType = "Type";
inline constexpr const char* kSCPropNetInterfaceSubType = "SubType";
inline constexpr const char* kSCValNetInterfaceTypePPP = "PPP";
inline constexpr const char* kSCValNetInterfaceSubTypeL2TP = "L2TP";
inline constexpr const char* kSCValNetInterfaceSubTypePPTP = "PPTP";
inline constexpr const char* kSCPropNetPPPCommRemoteAddress = "CommRemoteAddress";
inline constexpr const char* kSCPropNetPPPAuthName = "AuthName";
inline constexpr const char* kSCPropNetPPPAuthPassword = "AuthPassword";
inline constexpr const char* kSCPropNetPPPAuthPasswordEncryption = "AuthPasswordEncryption";
inline constexpr const char* kSCValNetPPPAuthPasswordEncryptionKeychain = "Keychain";
inline constexpr const char* kSCPropNetPPPCCPEnabled = "CCPEnabled";
inline constexpr const char* kSCPropNetPPPCCPMPPE40Enabled = "CCPMPPE40Enabled";
inline constexpr const char* kSCPropNetPPPCCPMPPE128Enabled = "CCPMPPE128Enabled";
inline constexpr const char* kSCPropNetOverridePrimary = "OverridePrimary";
inline constexpr const char* kSCPropNetDNSServerAddresses = "ServerAddresses";
inline constexpr const char* kSCPropNetIPSecAuthenticationMethod = "AuthenticationMethod";
inline constexpr const char* kSCValNetIPSecAuthenticationMethodSharedSecret = "SharedSecret";
inline constexpr const char* kSCPropNetIPSecSharedSecret = "SharedSecret";
inline constexpr const char* kSCPropNetIPSecSharedSecretEncryption = "SharedSecretEncryption";
inline constexpr const char* kSCValNetIPSecSharedSecretEncryptionKeychain = "Keychain";

class NetworkPreferences {
public:
    static std::string defaultPath(); // <helper state dir>/network-preferences.json
    explicit NetworkPreferences(std::string path = defaultPath());

    bool open() { return store_.open(); }
    bool commit() { return store_.commit(); }
    const std::string& error() const { return store_.error(); }

    // Identifiers of all services, in the store's order.
    std::vector<std::string> serviceIds() const;
    // The current set's service order; empty when there is no current set.
    std::vector<std::string> serviceOrder() const;
    // The service's dictionary, nullptr when there is none. Changes are kept until commit().
    nlohmann::json* service(const std::string& id);
    std::string serviceName(const std::string& id) const;
    bool serviceEnabled(const std::string& id) const;
    // The whole services dictionary (kSCPrefNetworkServices).
    nlohmann::json& services();

    // A new enabled service with a fresh identifier (a UUID) and the given interface dictionary.
    std::string createService(const std::string& name, const nlohmann::json& interface);
    void setServiceEnabled(const std::string& id, bool enabled);
    // Appends the service to the current set's order; the set is made when there is none.
    void addToCurrentSet(const std::string& id);
    // Removes the service and its place in every set; false when there was no such service.
    bool removeService(const std::string& id);

private:
    const nlohmann::json* serviceConst(const std::string& id) const;
    RootJsonStore store_;
};

// A random (version 4) UUID in lower case: the service identifier, also the profile's UUID.
std::string newUuid();

} // namespace platform
