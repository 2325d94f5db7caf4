#include "helper/SecKeyChainEntry.h"

#include "helper/HelperLog.h"

// The system keychain store comes with the L2TP provisioning. Until then it holds no item: reads
// find nothing, deletes delete nothing, and writes fail so that nothing is reported as stored.

bool writeKeyChaineInfo(const char* appPath, const char* name, const char* serviceId, const char* account,
                        const char* password, const char* sharedSecret, bool isL2tp) {
    (void)appPath;
    (void)name;
    (void)serviceId;
    (void)account;
    (void)password;
    (void)sharedSecret;
    (void)isL2tp;
    helper::hlog("writeKeyChaineInfo start.\n");
    helper::hlog("writeKeyChaineInfo: system keychain store is not available on this system.\n");
    return false;
}

std::optional<KeychainItem> readKeyChaineInfo(const char* service) {
    (void)service;
    helper::hlog("readKeyChaineInfo start.\n");
    helper::hlog("readKeyChaineInfo SecItemCopyMatching error. %d \n", -25300); // "item not found"
    return std::nullopt;
}

bool removeKeyChainInfo(const char* service) {
    (void)service;
    helper::hlog("removeKeyChainInfo start.\n");
    return false;
}

bool removePasswd(const char* name, const char* service) {
    (void)name;
    (void)service;
    return true; // no item: nothing to blank
}
