#include "platform/Keychain.h"

#include "platform/NetworkPreferences.h"

#include <ctime>

namespace platform {
namespace {
constexpr const char* kItems = "genp"; // generic passwords
}

long long keychainNow() {
    return static_cast<long long>(std::time(nullptr));
}

std::string Keychain::defaultPath() {
    return helperStateDir() + "/keychain.json";
}

Keychain::Keychain(std::string path) : store_(std::move(path)) {}

nlohmann::json& Keychain::items() {
    auto& list = store_.doc()[kItems];
    if (!list.is_array()) list = nlohmann::json::array();
    return list;
}

std::vector<nlohmann::json*> Keychain::match(const std::string& service, size_t limit) {
    std::vector<nlohmann::json*> found;
    for (auto& item : items()) {
        if (found.size() >= limit) break;
        if (!item.is_object()) continue;
        auto s = item.find(kSecAttrService);
        if (s != item.end() && s->is_string() && s->get<std::string>() == service) found.push_back(&item);
    }
    return found;
}

nlohmann::json& Keychain::add(nlohmann::json attributes, const KeychainAccess& access) {
    const long long now = keychainNow();
    attributes[kSecAttrCreationDate] = now;
    attributes[kSecAttrModificationDate] = now;
    attributes[kSecAttrPersistentRef] = newUuid();
    attributes[kSecAccess] = {{"descriptor", access.descriptor},
                              {"trustedApplications", access.trustedApplications}};
    items().push_back(std::move(attributes));
    return items().back();
}

size_t Keychain::remove(const std::string& service) {
    return removeWhere([&](const nlohmann::json& item) {
        auto s = item.find(kSecAttrService);
        return s != item.end() && s->is_string() && s->get<std::string>() == service;
    });
}

size_t Keychain::removeWhere(const std::function<bool(const nlohmann::json&)>& pred) {
    auto& list = items();
    size_t before = list.size();
    for (size_t i = list.size(); i-- > 0;)
        if (list[i].is_object() && pred(list[i])) list.erase(list.begin() + static_cast<long>(i));
    return before - list.size();
}

} // namespace platform
