#include "helper/NetworkPreferencesEntry.h"

#include "helper/HelperLog.h"
#include "helper/HelperMessage.h"
#include "platform/NetworkPreferences.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

using helper::hlog;
using nlohmann::json;
using namespace platform;

namespace {

// The preferences keep these flags as unsigned numbers.
json unsignedNumber(int value) {
    return static_cast<uint32_t>(value);
}

json ipsecDictionary(const std::string& sharedSecretRef) {
    return {{kSCPropNetIPSecAuthenticationMethod, kSCValNetIPSecAuthenticationMethodSharedSecret},
            {kSCPropNetIPSecSharedSecret, sharedSecretRef},
            {kSCPropNetIPSecSharedSecretEncryption, kSCValNetIPSecSharedSecretEncryptionKeychain}};
}

json& dictionary(json& entry, const char* key) {
    json& d = entry[key];
    if (!d.is_object()) d = json::object(); // a service written by hand may lack one
    return d;
}

// The last enabled service named "TavroVPN" that the current set's service order lists.
std::string findService(const NetworkPreferences& prefs) {
    const std::vector<std::string> order = prefs.serviceOrder();
    std::string found;
    for (const std::string& id : prefs.serviceIds()) {
        if (!prefs.serviceEnabled(id)) continue;
        if (std::find(order.begin(), order.end(), id) == order.end()) continue;
        if (prefs.serviceName(id) == helper::kServiceName) found = id;
    }
    return found;
}

std::string createService(NetworkPreferences& prefs, const char* serverAddr, const char* accountName,
                          bool isL2tp, const json& dns, int ccp40, int ccp128) {
    hlog("writePreferences new create service.\n");
    // The interface stack: L2TP (or PPTP) over IPv4, PPP on top.
    json interface = {
        {kSCPropNetInterfaceType, kSCValNetInterfaceTypePPP},
        {kSCPropNetInterfaceSubType, isL2tp ? kSCValNetInterfaceSubTypeL2TP : kSCValNetInterfaceSubTypePPTP}};
    hlog("writePreferences 1.\n");
    const std::string id = prefs.createService(helper::kServiceName, interface);
    json& entry = *prefs.service(id);
    entry[kSCEntNetPPP] = {{kSCPropNetPPPCommRemoteAddress, serverAddr},
                           {kSCPropNetPPPAuthName, accountName},
                           {kSCPropNetPPPAuthPassword, id},
                           {kSCPropNetPPPAuthPasswordEncryption, kSCValNetPPPAuthPasswordEncryptionKeychain},
                           {kSCPropNetPPPCCPEnabled, unsignedNumber(0)},
                           {kSCPropNetPPPCCPMPPE40Enabled, unsignedNumber(ccp40)},
                           {kSCPropNetPPPCCPMPPE128Enabled, unsignedNumber(ccp128)}};
    entry[kSCEntNetIPv4] = {{kSCPropNetOverridePrimary, unsignedNumber(1)}};
    entry[kSCEntNetDNS] = {{kSCPropNetDNSServerAddresses, dns}};
    if (isL2tp) entry[kSCEntNetIPSec] = ipsecDictionary(id + ".SS");
    prefs.addToCurrentSet(id);
    return id;
}

void updateService(json& entry, const std::string& id, const char* serverAddr, const char* accountName,
                   bool isL2tp, const json& dns, int ccp40, int ccp128) {
    json& ipv4 = dictionary(entry, kSCEntNetIPv4);
    if (ipv4.contains(kSCPropNetOverridePrimary)) ipv4[kSCPropNetOverridePrimary] = unsignedNumber(1);
    json& interface = dictionary(entry, kSCEntNetInterface);
    if (!isL2tp) {
        entry.erase(kSCEntNetIPSec);
        interface[kSCPropNetInterfaceSubType] = kSCValNetInterfaceSubTypePPTP;
    } else if (!entry.contains(kSCEntNetIPSec)) {
        entry[kSCEntNetIPSec] = ipsecDictionary(id + ".SS");
        interface[kSCPropNetInterfaceSubType] = kSCValNetInterfaceSubTypeL2TP;
    }
    json& ppp = dictionary(entry, kSCEntNetPPP);
    ppp[kSCPropNetPPPCommRemoteAddress] = serverAddr;
    ppp[kSCPropNetPPPAuthName] = accountName;
    ppp[kSCPropNetPPPCCPEnabled] = unsignedNumber(ccp128);
    ppp[kSCPropNetPPPCCPMPPE128Enabled] = unsignedNumber(ccp128);
    ppp[kSCPropNetPPPCCPMPPE40Enabled] = unsignedNumber(ccp40);
    dictionary(entry, kSCEntNetDNS)[kSCPropNetDNSServerAddresses] = dns;
}

} // namespace

bool writePreferences(const char* serverAddr, const char* accountName, bool isL2tp, const char* dnsPrimary,
                      const char* dnsSecondary, int ccp40, int ccp128, std::string& serviceId) {
    hlog("writePreferences start.\n");
    auto dnsText = [](const char* v) { return std::strcmp(v, "none") == 0 ? std::string() : std::string(v); };
    const json dns = json::array({dnsText(dnsPrimary), dnsText(dnsSecondary)});

    NetworkPreferences prefs;
    if (!prefs.open()) {
        hlog("prefs is null.");
        hlog("network preferences: %s\n", prefs.error().c_str());
        return false;
    }
    std::string id = findService(prefs);
    if (id.empty()) {
        id = createService(prefs, serverAddr, accountName, isL2tp, dns, ccp40, ccp128);
    } else {
        updateService(*prefs.service(id), id, serverAddr, accountName, isL2tp, dns, ccp40, ccp128);
    }
    if (!prefs.commit()) {
        hlog("network preferences: %s\n", prefs.error().c_str());
        return false;
    }
    hlog("writePreferences : serviceIdUTF8 from Pref:%s\n", id.c_str());
    serviceId = id;
    return true;
}
