#pragma once
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// The secrets of the system VPN service: the PPP password under the service identifier I and the
// IPSec shared secret under I + ".SS", in the root-owned system keychain store. Each item belongs
// to the user whose request wrote it (its uid is kept with it): a user reads, blanks and deletes
// only items of their own, root may read any.

// An item's attributes; the data is under "v_Data" and the account under "acct".
using KeychainItem = std::map<std::string, std::string>;

bool writeKeyChaineInfo(const char* appPath, const char* name, const char* serviceId, const char* account,
                        const char* password, const char* sharedSecret, bool isL2tp, uid_t owner = 0);
std::optional<KeychainItem> readKeyChaineInfo(const char* service, uid_t caller = 0);
// true if items were found and deleted
bool removeKeyChainInfo(const char* service, uid_t caller = 0);
// blanks the password; true when none exists
bool removePasswd(const char* name, const char* service, uid_t caller = 0);

// The data of the first item of the service that owner may read, without the log lines of a
// sub-command (the profile is made from it); empty when there is none.
std::string keychainDataOf(const std::string& service, uid_t owner);

// Operations of the same family that the helper does not call.
std::optional<KeychainItem> readKeyChaineInfoRef(const char* service); // with "v_PersistentRef"
KeychainItem newSearchDictionary(const char* identifier, const char* service);
std::optional<KeychainItem> searchKeychainCopyMatching(const char* identifier, const char* service);
bool createKeychainValue(const char* password, const char* identifier, const char* service);

// The programs trusted with a new item after the helper and the application: the Linux programs
// that read these secrets, those of them that exist.
std::vector<std::string> systemTrustedPrograms();
