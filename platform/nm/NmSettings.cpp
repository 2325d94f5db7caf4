#include "platform/nm/NmSettings.h"

#include <arpa/inet.h>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <systemd/sd-bus.h>

namespace platform::nm {
namespace {

constexpr const char* kBusName = "org.freedesktop.NetworkManager";
constexpr const char* kSettingsPath = "/org/freedesktop/NetworkManager/Settings";
constexpr const char* kSettingsIface = "org.freedesktop.NetworkManager.Settings";
constexpr const char* kConnectionIface = "org.freedesktop.NetworkManager.Settings.Connection";
constexpr uint64_t kCallTimeoutUsec = 25ull * 1000 * 1000;
constexpr size_t kMaxConnections = 4096;
constexpr int32_t kExclusiveDnsPriority = -50;

struct MessageRef {
    sd_bus_message* m = nullptr;
    ~MessageRef() { sd_bus_message_unref(m); }
};

// Appends {key: variant} entries; r collects the first failure.
class DictWriter {
public:
    explicit DictWriter(sd_bus_message* m) : m_(m) {}
    void text(const char* key, const std::string& v) {
        entry(key, [&] { return sd_bus_message_append(m_, "v", "s", v.c_str()); });
    }
    void flag(const char* key, bool v) {
        entry(key, [&] { return sd_bus_message_append(m_, "v", "b", static_cast<int>(v)); });
    }
    void map(const char* key, const std::map<std::string, std::string>& v) {
        entry(key, [&] {
            int r = sd_bus_message_open_container(m_, 'v', "a{ss}");
            if (r >= 0) r = sd_bus_message_open_container(m_, 'a', "{ss}");
            for (const auto& [k, s] : v)
                if (r >= 0) r = sd_bus_message_append(m_, "{ss}", k.c_str(), s.c_str());
            if (r >= 0) r = sd_bus_message_close_container(m_);
            if (r >= 0) r = sd_bus_message_close_container(m_);
            return r;
        });
    }
    void texts(const char* key, const std::vector<std::string>& v) {
        entry(key, [&] {
            int r = sd_bus_message_open_container(m_, 'v', "as");
            if (r >= 0) r = sd_bus_message_open_container(m_, 'a', "s");
            for (const auto& s : v)
                if (r >= 0) r = sd_bus_message_append(m_, "s", s.c_str());
            if (r >= 0) r = sd_bus_message_close_container(m_);
            if (r >= 0) r = sd_bus_message_close_container(m_);
            return r;
        });
    }
    void integer(const char* key, int32_t v) {
        entry(key, [&] { return sd_bus_message_append(m_, "v", "i", v); });
    }
    void uints(const char* key, const std::vector<uint32_t>& v) {
        entry(key, [&] {
            int r = sd_bus_message_open_container(m_, 'v', "au");
            if (r >= 0) r = sd_bus_message_append_array(m_, 'u', v.data(), v.size() * sizeof(uint32_t));
            if (r >= 0) r = sd_bus_message_close_container(m_);
            return r;
        });
    }
    int result() const { return r_; }

private:
    template <class F> void entry(const char* key, F&& value) {
        if (r_ < 0) return;
        r_ = sd_bus_message_open_container(m_, 'e', "sv");
        if (r_ >= 0) r_ = sd_bus_message_append(m_, "s", key);
        if (r_ >= 0) r_ = value();
        if (r_ >= 0) r_ = sd_bus_message_close_container(m_);
    }
    sd_bus_message* m_;
    int r_ = 0;
};

template <class F> int appendSetting(sd_bus_message* m, const char* name, F&& fill) {
    int r = sd_bus_message_open_container(m, 'e', "sa{sv}");
    if (r >= 0) r = sd_bus_message_append(m, "s", name);
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "{sv}");
    if (r >= 0) {
        DictWriter w(m);
        fill(w);
        r = w.result();
    }
    if (r >= 0) r = sd_bus_message_close_container(m);
    if (r >= 0) r = sd_bus_message_close_container(m);
    return r;
}

int appendProfile(sd_bus_message* m, const VpnProfile& p) {
    std::vector<uint32_t> dns;
    for (const auto& text : p.dns) {
        in_addr a{};
        if (inet_pton(AF_INET, text.c_str(), &a) == 1) dns.push_back(a.s_addr); // network byte order
    }
    int r = sd_bus_message_open_container(m, 'a', "{sa{sv}}");
    if (r >= 0)
        r = appendSetting(m, "connection", [&](DictWriter& w) {
            w.text("id", p.id);
            w.text("uuid", p.uuid);
            w.text("type", "vpn");
            w.flag("autoconnect", false);
            w.texts("permissions", p.permissions);
        });
    if (r >= 0)
        r = appendSetting(m, "vpn", [&](DictWriter& w) {
            w.text("service-type", p.serviceType);
            w.map("data", p.data);
            w.map("secrets", p.secrets);
        });
    if (r >= 0)
        r = appendSetting(m, "ipv4", [&](DictWriter& w) {
            w.text("method", "auto");
            w.flag("never-default", false); // every route through the tunnel
            // A negative priority makes the tunnel's servers the only ones NetworkManager configures:
            // alone in resolv.conf, or the "~." route in systemd-resolved. No lookup leaves beside it.
            w.integer("dns-priority", kExclusiveDnsPriority);
            w.uints("dns", dns);
            w.flag("ignore-auto-dns", !dns.empty());
        });
    if (r >= 0) r = appendSetting(m, "ipv6", [&](DictWriter& w) { w.text("method", "ignore"); });
    if (r >= 0) r = sd_bus_message_close_container(m);
    return r;
}

// connection.id and connection.uuid out of a GetSettings reply.
int readIdAndUuid(sd_bus_message* m, std::string& id, std::string& uuid) {
    int r = sd_bus_message_enter_container(m, 'a', "{sa{sv}}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
        const char* setting = nullptr;
        if ((r = sd_bus_message_read(m, "s", &setting)) < 0) return r;
        if (std::strcmp(setting, "connection") != 0) {
            if ((r = sd_bus_message_skip(m, "a{sv}")) < 0) return r;
        } else {
            if ((r = sd_bus_message_enter_container(m, 'a', "{sv}")) < 0) return r;
            while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
                const char* key = nullptr;
                if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
                std::string* target = std::strcmp(key, "id") == 0     ? &id
                                      : std::strcmp(key, "uuid") == 0 ? &uuid
                                                                      : nullptr;
                const char* contents = nullptr;
                if ((r = sd_bus_message_peek_type(m, nullptr, &contents)) < 0) return r;
                if (target && contents && std::strcmp(contents, "s") == 0) {
                    const char* v = nullptr;
                    if ((r = sd_bus_message_read(m, "v", "s", &v)) < 0) return r;
                    *target = v ? v : "";
                } else if ((r = sd_bus_message_skip(m, "v")) < 0) {
                    return r;
                }
                if ((r = sd_bus_message_exit_container(m)) < 0) return r;
            }
            if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
        }
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

} // namespace

bool vpnPluginInstalled(const std::string& serviceType) {
    for (const char* dir : {"/usr/lib/NetworkManager/VPN", "/etc/NetworkManager/VPN"}) {
        DIR* d = ::opendir(dir);
        if (!d) continue;
        bool found = false;
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name.size() < 5 || name.compare(name.size() - 5, 5, ".name") != 0) continue;
            std::ifstream in(std::string(dir) + "/" + name);
            std::string line;
            for (int n = 0; n < 200 && std::getline(in, line); ++n)
                if (line == "service=" + serviceType) found = true;
            if (found) break;
        }
        ::closedir(d);
        if (found) return true;
    }
    return false;
}

SettingsClient::~SettingsClient() {
    sd_bus_flush_close_unref(bus_);
}

bool SettingsClient::connect() {
    if (bus_) return true;
    int r = sd_bus_open_system(&bus_);
    if (r < 0) {
        bus_ = nullptr;
        error_ = std::string("system bus: ") + std::strerror(-r);
        return false;
    }
    return true;
}

bool SettingsClient::call(const char* path, const char* interface, const char* member, void* request,
                          void** reply) {
    sd_bus_error err = SD_BUS_ERROR_NULL;
    sd_bus_message* out = nullptr;
    int r = sd_bus_call(bus_, static_cast<sd_bus_message*>(request), kCallTimeoutUsec, &err, &out);
    if (r < 0) {
        error_ = std::string(interface) + "." + member + " on " + path + ": " +
                 (err.message ? err.message : std::strerror(-r));
        sd_bus_error_free(&err);
        return false;
    }
    sd_bus_error_free(&err);
    if (reply)
        *reply = out;
    else
        sd_bus_message_unref(out);
    return true;
}

std::string SettingsClient::pathOfUuid(const std::string& uuid) {
    MessageRef req, rep;
    if (sd_bus_message_new_method_call(bus_, &req.m, kBusName, kSettingsPath, kSettingsIface,
                                       "GetConnectionByUuid") < 0 ||
        sd_bus_message_append(req.m, "s", uuid.c_str()) < 0)
        return std::string();
    if (!call(kSettingsPath, kSettingsIface, "GetConnectionByUuid", req.m, reinterpret_cast<void**>(&rep.m)))
        return std::string();
    const char* path = nullptr;
    if (sd_bus_message_read(rep.m, "o", &path) < 0 || !path) return std::string();
    return path;
}

bool SettingsClient::save(const VpnProfile& profile, bool& created) {
    if (!connect()) return false;
    const std::string existing = pathOfUuid(profile.uuid);
    created = existing.empty();
    const char* path = created ? kSettingsPath : existing.c_str();
    const char* iface = created ? kSettingsIface : kConnectionIface;
    const char* member = created ? "AddConnection" : "Update";
    MessageRef req;
    int r = sd_bus_message_new_method_call(bus_, &req.m, kBusName, path, iface, member);
    if (r >= 0) r = appendProfile(req.m, profile);
    if (r < 0) {
        error_ = std::string("building the settings: ") + std::strerror(-r);
        return false;
    }
    return call(path, iface, member, req.m, nullptr);
}

std::vector<std::pair<std::string, std::string>> SettingsClient::connectionsNamed(const std::string& id) {
    std::vector<std::pair<std::string, std::string>> found;
    if (!connect()) return found;
    std::vector<std::string> paths;
    {
        MessageRef req, rep;
        if (sd_bus_message_new_method_call(bus_, &req.m, kBusName, kSettingsPath, kSettingsIface,
                                           "ListConnections") < 0 ||
            !call(kSettingsPath, kSettingsIface, "ListConnections", req.m, reinterpret_cast<void**>(&rep.m)))
            return found;
        if (sd_bus_message_enter_container(rep.m, 'a', "o") < 0) return found;
        const char* p = nullptr;
        while (paths.size() < kMaxConnections && sd_bus_message_read(rep.m, "o", &p) > 0)
            paths.emplace_back(p);
    }
    for (const auto& path : paths) {
        MessageRef req, rep;
        if (sd_bus_message_new_method_call(bus_, &req.m, kBusName, path.c_str(), kConnectionIface,
                                           "GetSettings") < 0 ||
            !call(path.c_str(), kConnectionIface, "GetSettings", req.m, reinterpret_cast<void**>(&rep.m)))
            continue; // a connection that vanished meanwhile
        std::string cid, uuid;
        if (readIdAndUuid(rep.m, cid, uuid) >= 0 && cid == id) found.emplace_back(path, uuid);
    }
    return found;
}

bool SettingsClient::remove(const std::string& path) {
    if (!connect()) return false;
    MessageRef req;
    if (sd_bus_message_new_method_call(bus_, &req.m, kBusName, path.c_str(), kConnectionIface, "Delete") < 0)
        return false;
    return call(path.c_str(), kConnectionIface, "Delete", req.m, nullptr);
}

} // namespace platform::nm
