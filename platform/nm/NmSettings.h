#pragma once
#include <map>
#include <string>
#include <utility>
#include <vector>

typedef struct sd_bus sd_bus;

// NetworkManager's settings service over the system D-Bus (sd-bus; $DBUS_SYSTEM_BUS_ADDRESS is
// honoured): VPN connection profiles created, updated in place, found by name and deleted.
namespace platform::nm {

inline constexpr const char* kL2tpServiceType = "org.freedesktop.NetworkManager.l2tp";
inline constexpr const char* kPptpServiceType = "org.freedesktop.NetworkManager.pptp";

struct VpnProfile {
    std::string uuid, id, serviceType;
    std::map<std::string, std::string> data, secrets; // secrets stay with NetworkManager (flags 0)
    std::vector<std::string> dns;                     // IPv4 literals; empty: the server's
    // connection.permissions: "user:NAME:" for each user who may see and use the profile; empty:
    // every user.
    std::vector<std::string> permissions;
};

// True when NetworkManager has the VPN plugin of this service type installed.
bool vpnPluginInstalled(const std::string& serviceType);

class SettingsClient {
public:
    SettingsClient() = default;
    ~SettingsClient();
    SettingsClient(const SettingsClient&) = delete;
    SettingsClient& operator=(const SettingsClient&) = delete;

    bool connect();
    // Updates the profile with the same UUID in place, or adds it; created tells which.
    bool save(const VpnProfile& profile, bool& created);
    // Object paths and UUIDs of the connections with this id, in NetworkManager's order.
    std::vector<std::pair<std::string, std::string>> connectionsNamed(const std::string& id);
    // Object path of the connection with this UUID, empty when there is none.
    std::string pathOfUuid(const std::string& uuid);
    bool remove(const std::string& path);
    const std::string& error() const { return error_; }

private:
    bool call(const char* path, const char* interface, const char* member, void* request, void** reply);
    sd_bus* bus_ = nullptr;
    std::string error_;
};

} // namespace platform::nm
