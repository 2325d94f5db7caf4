#include "helper/SecKeyChainEntry.h"

#include "helper/HelperLog.h"
#include "platform/Keychain.h"
#include "platform/Paths.h"

#include <fcntl.h>
#include <unistd.h>

using helper::hlog;
using nlohmann::json;
using platform::Keychain;

namespace {

constexpr int errSecItemNotFound = -25300;
constexpr int errSecNotAvailable = -25291;

// NetworkManager's L2TP and PPTP plugins hand the secrets to xl2tpd/pppd and to the IPsec daemon.
constexpr const char* kSecretReaders[] = {
    "/usr/lib/NetworkManager/nm-l2tp-service",
    "/usr/lib/NetworkManager/nm-pptp-service",
    "/usr/sbin/xl2tpd",
    "/usr/sbin/pppd",
    "/usr/lib/ipsec/charon",
    "/usr/sbin/ipsec",
};

bool readable(const char* path) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

KeychainItem toItem(const json& j) {
    KeychainItem item;
    for (auto it = j.begin(); it != j.end(); ++it) {
        if (it->is_string())
            item[it.key()] = it->get<std::string>();
        else if (it->is_number_integer())
            item[it.key()] = std::to_string(it->get<long long>());
    }
    return item;
}

uid_t ownerOf(const json& item) {
    auto it = item.find(platform::kItemOwnerUid);
    return it != item.end() && it->is_number_unsigned() ? it->get<uid_t>() : 0;
}

// The items of the service that belong to uid (for reading, root is given anyone's).
std::vector<json*> itemsOf(Keychain& kc, const std::string& service, uid_t uid, bool reading,
                           size_t limit = SIZE_MAX) {
    std::vector<json*> out;
    for (json* item : kc.match(service)) {
        if (out.size() >= limit) break;
        if ((reading && uid == 0) || ownerOf(*item) == uid) out.push_back(item);
    }
    return out;
}

// The first item of the service in an open keychain, with readKeyChaineInfo's log lines.
json* findLogged(Keychain& kc, const std::string& service, uid_t uid, bool reading, const char* startLine,
                 const char* endLine) {
    hlog("%s", startLine);
    hlog("readKeyChaineInfo\n");
    hlog("1\n");
    hlog("2\n");
    auto found = itemsOf(kc, service, uid, reading, 1);
    if (found.empty()) {
        hlog("readKeyChaineInfo SecItemCopyMatching error. %d \n", errSecItemNotFound);
        return nullptr;
    }
    hlog("%s", endLine);
    return found.front();
}

bool openKeychain(Keychain& kc, const char* who) {
    if (kc.open()) return true;
    hlog("%s keychain unavailable: %s\n", who, kc.error().c_str());
    return false;
}

bool commitKeychain(Keychain& kc, const char* who) {
    if (kc.commit()) return true;
    hlog("%s keychain not written: %s\n", who, kc.error().c_str());
    return false;
}

void updateItems(Keychain& kc, const std::string& service, uid_t owner, const std::string& data,
                 const json* account) {
    for (json* item : itemsOf(kc, service, owner, false)) {
        if (!data.empty()) (*item)[platform::kSecValueData] = data;
        if (account) (*item)[platform::kSecAttrAccount] = *account;
        (*item)[platform::kSecAttrModificationDate] = platform::keychainNow();
    }
}

} // namespace

std::vector<std::string> systemTrustedPrograms() {
    std::vector<std::string> programs;
    for (const char* p : kSecretReaders)
        if (readable(p)) programs.emplace_back(p);
    return programs;
}

bool writeKeyChaineInfo(const char* appPath, const char* name, const char* serviceId, const char* account,
                        const char* password, const char* sharedSecret, bool isL2tp, uid_t owner) {
    hlog("writeKeyChaineInfo start.\n");
    Keychain kc;
    if (!openKeychain(kc, "writeKeyChaineInfo")) return false;

    platform::KeychainAccess access;
    const std::string self = platform::executablePath();
    if (self.empty()) {
        hlog("writeKeyChaineInfo SecTrustedApplicationCreateFromPath error 1\n");
        return false;
    }
    access.trustedApplications.push_back(self);
    hlog("writeKeyChaineInfo  %s\n", appPath);
    if (!appPath || appPath[0] != '/') {
        hlog("writeKeyChaineInfo SecTrustedApplicationCreateFromPath error 2\n");
        return false;
    }
    access.trustedApplications.emplace_back(appPath);
    for (auto& p : systemTrustedPrograms())
        access.trustedApplications.push_back(std::move(p));
    access.descriptor = serviceId;

    const std::string id = serviceId;
    if (findLogged(kc, id, owner, false, "readKeyChaineInfo start.\n", "readKeyChaineInfo end.\n")) {
        hlog("writeKeyChaineInfo exist update...\n");
        const json acct = account;
        updateItems(kc, id, owner, password, &acct); // an empty password keeps the stored one
    } else {
        hlog("writeKeyChaineInfo create new...\n");
        kc.add({{platform::kSecAttrAccount, account},
                {platform::kSecAttrDescription, "PPTP"},
                {platform::kSecAttrService, id},
                {platform::kSecAttrLabel, name},
                {platform::kSecValueData, password},
                {platform::kItemOwnerUid, owner}},
               access);
    }
    if (isL2tp) {
        hlog("writeKeyChaineInfo L2TP\n");
        const std::string ss = id + ".SS";
        if (findLogged(kc, ss, owner, false, "readKeyChaineInfo start.\n", "readKeyChaineInfo end.\n")) {
            hlog("writeKeyChaineInfo L2TP update...\n");
            updateItems(kc, ss, owner, sharedSecret, nullptr);
            hlog("writeKeyChaineInfo L2TP key updated\n");
        } else {
            kc.add({{platform::kSecAttrDescription, "L2TP Shared"},
                    {platform::kSecAttrService, ss},
                    {platform::kSecAttrLabel, name},
                    {platform::kSecValueData, sharedSecret},
                    {platform::kItemOwnerUid, owner}},
                   access);
        }
    }
    // Unlike a single failed item, a store that cannot be written holds none of them: that is a
    // failure, not a success to report.
    if (!commitKeychain(kc, "writeKeyChaineInfo")) return false;
    hlog("writeKeyChaineInfo end.\n");
    return true;
}

std::optional<KeychainItem> readKeyChaineInfo(const char* service, uid_t caller) {
    Keychain kc;
    if (!kc.open()) {
        hlog("readKeyChaineInfo start.\n");
        hlog("readKeyChaineInfo SecItemCopyMatching error. %d \n", errSecNotAvailable);
        return std::nullopt;
    }
    json* item =
        findLogged(kc, service, caller, true, "readKeyChaineInfo start.\n", "readKeyChaineInfo end.\n");
    if (!item) return std::nullopt;
    return toItem(*item);
}

std::string keychainDataOf(const std::string& service, uid_t owner) {
    Keychain kc;
    if (!kc.open()) return std::string();
    auto found = itemsOf(kc, service, owner, true, 1);
    if (found.empty()) return std::string();
    auto it = found.front()->find(platform::kSecValueData);
    return it != found.front()->end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::optional<KeychainItem> readKeyChaineInfoRef(const char* service) {
    Keychain kc;
    int status = errSecNotAvailable;
    std::optional<KeychainItem> out;
    hlog("readKeyChaineInfoRef start.\n");
    if (kc.open()) {
        auto found = kc.match(service, 1);
        status = found.empty() ? errSecItemNotFound : 0;
        if (!found.empty()) out = toItem(*found.front());
    }
    hlog("readKeyChaineInfoRef end. status:%d\n", status);
    return out;
}

bool removeKeyChainInfo(const char* service, uid_t caller) {
    hlog("removeKeyChainInfo start.\n");
    Keychain kc;
    if (!openKeychain(kc, "removeKeyChainInfo")) return false;
    hlog("readKeyChaineInfo\n");
    hlog("1\n");
    hlog("2\n");
    if (itemsOf(kc, service, caller, false).empty()) return false;
    hlog("SecItemDelete.\n");
    const std::string name = service;
    kc.removeWhere([&](const json& item) {
        auto s = item.find(platform::kSecAttrService);
        return s != item.end() && s->is_string() && s->get<std::string>() == name && ownerOf(item) == caller;
    });
    if (!commitKeychain(kc, "removeKeyChainInfo")) return false;
    hlog("removeKeyChainInfo end.\n");
    return true;
}

bool removePasswd(const char* name, const char* service, uid_t caller) {
    (void)name; // the label plays no part in finding the items
    Keychain kc;
    if (!openKeychain(kc, "removePasswd")) return false;
    if (!findLogged(kc, service, caller, false, "readKeyChaineInfo start.\n", "readKeyChaineInfo end.\n"))
        return true;
    auto items = itemsOf(kc, service, caller, false);
    if (items.empty()) return false;
    for (json* item : items) {
        (*item)[platform::kSecValueData] = "";
        (*item)[platform::kSecAttrModificationDate] = platform::keychainNow();
    }
    return commitKeychain(kc, "removePasswd");
}

KeychainItem newSearchDictionary(const char* identifier, const char* service) {
    return {{"class", "genp"},
            {platform::kSecAttrGeneric, identifier},
            {platform::kSecAttrAccount, identifier},
            {platform::kSecAttrService, service}};
}

namespace {
bool matchesSearch(const json& item, const KeychainItem& search) {
    for (const auto& [key, value] : search) {
        if (key == "class") continue;
        auto it = item.find(key);
        if (it == item.end() || !it->is_string() || it->get<std::string>() != value) return false;
    }
    return true;
}
} // namespace

std::optional<KeychainItem> searchKeychainCopyMatching(const char* identifier, const char* service) {
    Keychain kc;
    if (!kc.open()) return std::nullopt;
    const KeychainItem search = newSearchDictionary(identifier, service);
    for (json* item : kc.match(service))
        if (matchesSearch(*item, search)) return toItem(*item);
    return std::nullopt;
}

bool createKeychainValue(const char* password, const char* identifier, const char* service) {
    Keychain kc;
    if (!kc.open()) return false;
    platform::KeychainAccess access;
    const std::string self = platform::executablePath();
    if (self.empty()) {
        hlog("writeKeyChaineAccount SecTrustedApplicationCreateFromPath error\n");
        return false;
    }
    access.trustedApplications.push_back(self);
    for (auto& p : systemTrustedPrograms())
        access.trustedApplications.push_back(std::move(p));
    access.descriptor = identifier;
    const KeychainItem search = newSearchDictionary(identifier, service);
    kc.removeWhere([&](const json& item) { return matchesSearch(item, search); });
    kc.add({{platform::kSecAttrGeneric, identifier},
            {platform::kSecAttrAccount, identifier},
            {platform::kSecAttrService, service},
            {platform::kSecValueData, password}},
           access);
    return commitKeychain(kc, "createKeychainValue");
}
