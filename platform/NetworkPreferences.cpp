#include "platform/NetworkPreferences.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <unistd.h>

namespace platform {

std::string newUuid() {
    unsigned char b[16];
    bool filled = false;
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        filled = ::read(fd, b, sizeof b) == static_cast<ssize_t>(sizeof b);
        ::close(fd);
    }
    if (!filled) {
        std::random_device rd;
        for (auto& x : b)
            x = static_cast<unsigned char>(rd());
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    char out[37];
    std::snprintf(out, sizeof out, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return out;
}

std::string NetworkPreferences::defaultPath() {
    return helperStateDir() + "/network-preferences.json";
}

NetworkPreferences::NetworkPreferences(std::string path) : store_(std::move(path)) {}

nlohmann::json& NetworkPreferences::services() {
    auto& doc = store_.doc();
    auto& s = doc[kSCPrefNetworkServices];
    if (!s.is_object()) s = nlohmann::json::object();
    return s;
}

std::vector<std::string> NetworkPreferences::serviceIds() const {
    std::vector<std::string> ids;
    auto it = store_.doc().find(kSCPrefNetworkServices);
    if (it == store_.doc().end() || !it->is_object()) return ids;
    for (auto s = it->begin(); s != it->end(); ++s)
        if (s->is_object()) ids.push_back(s.key());
    return ids;
}

std::vector<std::string> NetworkPreferences::serviceOrder() const {
    std::vector<std::string> order;
    const auto& doc = store_.doc();
    auto cur = doc.find(kSCPrefCurrentSet);
    auto sets = doc.find(kSCPrefSets);
    if (cur == doc.end() || !cur->is_string() || sets == doc.end() || !sets->is_object()) return order;
    auto set = sets->find(cur->get<std::string>());
    if (set == sets->end() || !set->is_object()) return order;
    auto o = set->find(kSCPropServiceOrder);
    if (o == set->end() || !o->is_array()) return order;
    for (const auto& id : *o)
        if (id.is_string()) order.push_back(id.get<std::string>());
    return order;
}

const nlohmann::json* NetworkPreferences::serviceConst(const std::string& id) const {
    auto it = store_.doc().find(kSCPrefNetworkServices);
    if (it == store_.doc().end() || !it->is_object()) return nullptr;
    auto s = it->find(id);
    return (s != it->end() && s->is_object()) ? &*s : nullptr;
}

nlohmann::json* NetworkPreferences::service(const std::string& id) {
    return const_cast<nlohmann::json*>(serviceConst(id));
}

std::string NetworkPreferences::serviceName(const std::string& id) const {
    const nlohmann::json* s = serviceConst(id);
    if (!s) return std::string();
    auto n = s->find(kSCPropUserDefinedName);
    return (n != s->end() && n->is_string()) ? n->get<std::string>() : std::string();
}

bool NetworkPreferences::serviceEnabled(const std::string& id) const {
    const nlohmann::json* s = serviceConst(id);
    if (!s) return false;
    auto e = s->find(kServiceEnabled);
    // A service without the flag counts as enabled, as one written by hand would expect.
    return e == s->end() || (e->is_boolean() && e->get<bool>());
}

std::string NetworkPreferences::createService(const std::string& name, const nlohmann::json& interface) {
    std::string id;
    do {
        id = newUuid();
    } while (service(id));
    services()[id] = {
        {kSCPropUserDefinedName, name}, {kServiceEnabled, true}, {kSCEntNetInterface, interface}};
    return id;
}

void NetworkPreferences::setServiceEnabled(const std::string& id, bool enabled) {
    if (nlohmann::json* s = service(id)) (*s)[kServiceEnabled] = enabled;
}

void NetworkPreferences::addToCurrentSet(const std::string& id) {
    auto& doc = store_.doc();
    if (!doc[kSCPrefSets].is_object()) doc[kSCPrefSets] = nlohmann::json::object();
    if (!doc[kSCPrefCurrentSet].is_string() ||
        !doc[kSCPrefSets].contains(doc[kSCPrefCurrentSet].get<std::string>()))
        doc[kSCPrefCurrentSet] = newUuid();
    auto& set = doc[kSCPrefSets][doc[kSCPrefCurrentSet].get<std::string>()];
    if (!set.is_object()) set = nlohmann::json::object();
    auto& order = set[kSCPropServiceOrder];
    if (!order.is_array()) order = nlohmann::json::array();
    if (std::find(order.begin(), order.end(), id) == order.end()) order.push_back(id);
}

bool NetworkPreferences::removeService(const std::string& id) {
    bool found = services().erase(id) > 0;
    auto& doc = store_.doc();
    auto sets = doc.find(kSCPrefSets);
    if (sets != doc.end() && sets->is_object()) {
        for (auto& set : *sets) {
            if (!set.is_object()) continue;
            auto o = set.find(kSCPropServiceOrder);
            if (o == set.end() || !o->is_array()) continue;
            auto& arr = *o;
            arr.erase(std::remove(arr.begin(), arr.end(), nlohmann::json(id)), arr.end());
        }
    }
    return found;
}

} // namespace platform
