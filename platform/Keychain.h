#pragma once
#include "platform/RootJsonStore.h"

#include <functional>
#include <string>
#include <vector>

// The system keychain: generic-password items kept by root (platform::RootJsonStore), each with
// its attributes under the raw names below and the access list it was created with.
namespace platform {

inline constexpr const char* kSecAttrService = "svce";
inline constexpr const char* kSecAttrAccount = "acct";
inline constexpr const char* kSecAttrDescription = "desc";
inline constexpr const char* kSecAttrLabel = "labl";
inline constexpr const char* kSecValueData = "v_Data";
inline constexpr const char* kSecAttrCreationDate = "cdat";
inline constexpr const char* kSecAttrModificationDate = "mdat";
inline constexpr const char* kSecAttrPersistentRef = "v_PersistentRef";
inline constexpr const char* kSecAttrGeneric = "gena";
// The uid of the user whose request wrote the item; an item without one is root's.
inline constexpr const char* kItemOwnerUid = "ownerUid";
// The access object: {"descriptor": text, "trustedApplications": [paths]}.
inline constexpr const char* kSecAccess = "access";

// What an item may be created with: the descriptor and the programs trusted to read it.
struct KeychainAccess {
    std::string descriptor;
    std::vector<std::string> trustedApplications;
};

class Keychain {
public:
    static std::string defaultPath(); // <helper state dir>/keychain.json
    explicit Keychain(std::string path = defaultPath());

    bool open() { return store_.open(); }
    bool commit() { return store_.commit(); }
    const std::string& error() const { return store_.error(); }

    // Items whose service attribute equals service, in store order; at most limit of them.
    std::vector<nlohmann::json*> match(const std::string& service, size_t limit = SIZE_MAX);
    // Adds a generic password with the attributes given (creation and modification dates and a
    // persistent reference are filled in) and the access list.
    nlohmann::json& add(nlohmann::json attributes, const KeychainAccess& access);
    // Deletes every item of the service; returns how many went.
    size_t remove(const std::string& service);
    size_t removeWhere(const std::function<bool(const nlohmann::json&)>& pred);

private:
    nlohmann::json& items();
    RootJsonStore store_;
};

// Seconds since the epoch, as the dates are stored.
long long keychainNow();

} // namespace platform
