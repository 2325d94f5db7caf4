#pragma once
#include <map>
#include <optional>
#include <string>
#include <vector>

// The secrets of the system VPN service: the PPP password under the service identifier I and the
// IPSec shared secret under I + ".SS", in the root-owned system keychain store.

// An item's attributes; the data is under "v_Data" and the account under "acct".
using KeychainItem = std::map<std::string, std::string>;

bool writeKeyChaineInfo(const char* appPath, const char* name, const char* serviceId, const char* account,
                        const char* password, const char* sharedSecret, bool isL2tp);
std::optional<KeychainItem> readKeyChaineInfo(const char* service);
bool removeKeyChainInfo(const char* service);             // true if items were found and deleted
bool removePasswd(const char* name, const char* service); // blanks the password; true when none exists

// Operations of the same family that the helper does not call.
std::optional<KeychainItem> readKeyChaineInfoRef(const char* service); // with "v_PersistentRef"
KeychainItem newSearchDictionary(const char* identifier, const char* service);
std::optional<KeychainItem> searchKeychainCopyMatching(const char* identifier, const char* service);
bool createKeychainValue(const char* password, const char* identifier, const char* service);

// The programs trusted with a new item after the helper and the application: the Linux programs
// that read these secrets, those of them that exist.
std::vector<std::string> systemTrustedPrograms();
