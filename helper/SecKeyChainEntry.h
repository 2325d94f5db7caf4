#pragma once
#include <map>
#include <optional>
#include <string>

// The secrets of the system VPN service: the PPP password under the service identifier I and the
// IPSec shared secret under I + ".SS", in the root-owned system keychain store.

// An item's attributes; the data is under "v_Data" and the account under "acct".
using KeychainItem = std::map<std::string, std::string>;

bool writeKeyChaineInfo(const char* appPath, const char* name, const char* serviceId, const char* account,
                        const char* password, const char* sharedSecret, bool isL2tp);
std::optional<KeychainItem> readKeyChaineInfo(const char* service);
bool removeKeyChainInfo(const char* service);             // true if items were found and deleted
bool removePasswd(const char* name, const char* service); // blanks the password; true when none exists
