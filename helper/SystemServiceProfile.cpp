#include "helper/SystemServiceProfile.h"

#include "helper/HelperLog.h"
#include "helper/HelperMessage.h"
#include "helper/SecKeyChainEntry.h"
#include "platform/Keychain.h"
#include "platform/NetworkPreferences.h"
#include "platform/nm/NmSettings.h"

#include <algorithm>
#include <pwd.h>

using helper::hlog;
using nlohmann::json;
using namespace platform;

namespace {

std::string textOf(const json& dict, const char* key) {
    auto it = dict.find(key);
    return (it != dict.end() && it->is_string()) ? it->get<std::string>() : std::string();
}

bool flagOf(const json& dict, const char* key) {
    auto it = dict.find(key);
    return it != dict.end() && it->is_number() && it->get<double>() != 0;
}

const json& sub(const json& entry, const char* key) {
    static const json empty = json::object();
    auto it = entry.find(key);
    return (it != entry.end() && it->is_object()) ? *it : empty;
}

// CCP off: no compression. CCP on: for PPTP the MPPE levels allowed become the ones required
// (without MPPE its traffic is in clear); under L2TP IPsec already protects the traffic, so MPPE is
// not demanded of a server that does not offer it. Only keys the plugins accept: nm-l2tp refuses
// the whole profile for one it does not know.
void applyCcp(const json& ppp, bool isL2tp, std::map<std::string, std::string>& data) {
    const bool ccp = flagOf(ppp, kSCPropNetPPPCCPEnabled);
    const bool mppe40 = flagOf(ppp, kSCPropNetPPPCCPMPPE40Enabled);
    const bool mppe128 = flagOf(ppp, kSCPropNetPPPCCPMPPE128Enabled);
    if (!ccp) {
        data["nobsdcomp"] = "yes";
        data["nodeflate"] = "yes";
        return;
    }
    if (isL2tp) return;
    if (mppe40 && mppe128)
        data["require-mppe"] = "yes";
    else if (mppe128)
        data["require-mppe-128"] = "yes";
    else if (mppe40)
        data["require-mppe-40"] = "yes";
}

constexpr const char* kProvisionedFor = "ProvisionedForUid";

std::string userNameOf(uid_t uid) {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || !found || !pw.pw_name) return {};
    // A name NetworkManager would split or misread is not passed on.
    const std::string name = pw.pw_name;
    if (name.empty() || name.find_first_of(":,\n") != std::string::npos) return {};
    return name;
}

uid_t provisionedUserOf(const json& entry) {
    auto it = entry.find(kProvisionedFor);
    return it != entry.end() && it->is_number_unsigned() ? it->get<uid_t>() : kNoUser;
}

// The users other than `except` who hold keychain items of the service.
std::vector<uid_t> otherItemOwners(const std::string& serviceId, uid_t except) {
    std::vector<uid_t> owners;
    Keychain kc;
    if (!kc.open()) return owners;
    for (const json* item : kc.match(serviceId)) {
        auto it = item->find(kItemOwnerUid);
        const uid_t uid = it != item->end() && it->is_number_unsigned() ? it->get<uid_t>() : 0;
        if (uid != except && std::find(owners.begin(), owners.end(), uid) == owners.end())
            owners.push_back(uid);
    }
    return owners;
}

} // namespace

uid_t provisionedUser(const std::string& serviceId) {
    NetworkPreferences prefs;
    const json* entry = prefs.open() ? prefs.service(serviceId) : nullptr;
    return entry ? provisionedUserOf(*entry) : kNoUser;
}

bool isProvisionedService(const std::string& serviceId) {
    NetworkPreferences prefs;
    return prefs.open() && prefs.service(serviceId) && prefs.serviceName(serviceId) == helper::kServiceName;
}

RealiseResult realiseService(const std::string& serviceId, uid_t owner) {
    nm::VpnProfile profile;
    profile.uuid = serviceId;
    profile.id = helper::kServiceName;
    bool isL2tp = false;
    {
        NetworkPreferences prefs;
        json* entry = prefs.open() ? prefs.service(serviceId) : nullptr;
        if (!entry) {
            hlog("profile: service %s not in the network preferences\n", serviceId.c_str());
            return RealiseResult::Failed;
        }
        if (provisionedUserOf(*entry) != owner) {
            (*entry)[kProvisionedFor] = owner;
            if (!prefs.commit())
                hlog("profile: network preferences not written: %s\n", prefs.error().c_str());
        }
        isL2tp = textOf(sub(*entry, kSCEntNetInterface), kSCPropNetInterfaceSubType) ==
                 kSCValNetInterfaceSubTypeL2TP;
        const json& ppp = sub(*entry, kSCEntNetPPP);
        profile.data["gateway"] = textOf(ppp, kSCPropNetPPPCommRemoteAddress);
        profile.data["user"] = textOf(ppp, kSCPropNetPPPAuthName);
        profile.data["password-flags"] = "0"; // kept by NetworkManager itself, no agent asked
        applyCcp(ppp, isL2tp, profile.data);
        auto dns = sub(*entry, kSCEntNetDNS).find(kSCPropNetDNSServerAddresses);
        if (dns != sub(*entry, kSCEntNetDNS).end() && dns->is_array())
            for (const auto& d : *dns)
                if (d.is_string() && helper::isIpLiteral(d.get<std::string>())) {
                    if (d.get<std::string>().find(':') == std::string::npos)
                        profile.dns.push_back(d.get<std::string>());
                    else
                        hlog("profile: IPv6 DNS server %s kept in the preferences only\n",
                             d.get<std::string>().c_str());
                }
    }
    profile.serviceType = isL2tp ? nm::kL2tpServiceType : nm::kPptpServiceType;
    // Only the user it is provisioned for sees the profile and may read its secrets; NetworkManager
    // names users by name.
    const std::string user = userNameOf(owner);
    if (user.empty()) {
        hlog("profile: uid %lu has no user name; service %s not realised\n",
             static_cast<unsigned long>(owner), serviceId.c_str());
        return RealiseResult::Failed;
    }
    profile.permissions = {"user:" + user + ":"};
    if (isL2tp) {
        profile.data["ipsec-enabled"] = "yes";
        profile.data["ipsec-psk-flags"] = "0";
    }
    if (!nm::vpnPluginInstalled(profile.serviceType)) {
        hlog("profile: no NetworkManager plugin for %s; service %s recorded, not realised\n",
             profile.serviceType.c_str(), serviceId.c_str());
        return RealiseResult::NotRealised;
    }
    {
        Keychain kc;
        if (!kc.open()) {
            hlog("profile: keychain unavailable: %s\n", kc.error().c_str());
            return RealiseResult::Failed;
        }
    }
    // Always present: a profile updated without a secret would keep the one it had.
    profile.secrets["password"] = keychainDataOf(serviceId, owner);
    if (isL2tp) profile.secrets["ipsec-psk"] = keychainDataOf(serviceId + ".SS", owner);

    nm::SettingsClient nmc;
    bool created = false;
    if (!nmc.save(profile, created)) {
        hlog("profile: NetworkManager: %s\n", nmc.error().c_str());
        return RealiseResult::Failed;
    }
    hlog("profile: %s %s (%s)\n", created ? "created" : "updated", serviceId.c_str(),
         profile.serviceType.c_str());
    // Another profile of the same name would be the one the application finds and starts: one the
    // helper provisioned earlier goes; a profile it did not make is left alone.
    for (const auto& [path, uuid] : nmc.connectionsNamed(helper::kServiceName)) {
        if (uuid == serviceId) continue;
        if (!isProvisionedService(uuid)) {
            hlog("profile: another profile named TavroVPN (%s) is not ours, left alone\n",
                 helper::escapedForLog(uuid).c_str());
            continue;
        }
        if (nmc.remove(path))
            hlog("profile: stale profile %s removed\n", uuid.c_str());
        else
            hlog("profile: stale profile %s not removed: %s\n", uuid.c_str(), nmc.error().c_str());
    }
    return RealiseResult::Realised;
}

void removeServiceOf(const std::string& serviceId, uid_t caller) {
    const auto own = [caller](const json& item) {
        auto it = item.find(kItemOwnerUid);
        return (it != item.end() && it->is_number_unsigned() ? it->get<uid_t>() : 0) == caller;
    };
    {
        Keychain kc;
        if (!kc.open()) {
            hlog("REMOVE_PREF keychain unavailable: %s\n", kc.error().c_str());
            return;
        }
        const size_t n = kc.removeWhere([&](const json& item) {
            auto s = item.find(kSecAttrService);
            return own(item) && s != item.end() && s->is_string() &&
                   (s->get<std::string>() == serviceId || s->get<std::string>() == serviceId + ".SS");
        });
        if (n > 0 && !kc.commit()) {
            hlog("REMOVE_PREF keychain not written: %s\n", kc.error().c_str());
            return;
        }
        if (n > 0) hlog("REMOVE_PREF %zu keychain items removed\n", n);
    }
    // The service is shared: another user's secrets keep it, and the profile goes back to them if it
    // carried the caller's.
    if (const std::vector<uid_t> others = otherItemOwners(serviceId, caller); !others.empty()) {
        hlog("REMOVE_PREF service kept: %zu other users' secrets remain\n", others.size());
        if (provisionedUser(serviceId) == caller &&
            realiseService(serviceId, others.front()) == RealiseResult::Failed)
            hlog("REMOVE_PREF profile not provisioned again\n");
        return;
    }
    {
        NetworkPreferences prefs;
        if (!prefs.open()) {
            hlog("REMOVE_PREF network preferences: %s\n", prefs.error().c_str());
        } else if (prefs.removeService(serviceId)) {
            hlog(prefs.commit() ? "REMOVE_PREF service removed\n" : "REMOVE_PREF service not removed\n");
        }
    }
    nm::SettingsClient nmc;
    if (!nmc.connect()) {
        hlog("REMOVE_PREF NetworkManager: %s\n", nmc.error().c_str());
        return;
    }
    const std::string path = nmc.pathOfUuid(serviceId);
    if (path.empty()) return;
    if (nmc.remove(path))
        hlog("REMOVE_PREF profile removed\n");
    else
        hlog("REMOVE_PREF profile not removed: %s\n", nmc.error().c_str());
}
