#pragma once
#include "platform/AllowFile.h"

#include <string>
#include <sys/types.h>

// Who may talk to the helper: root, and the users recorded at install time in the allow file.
namespace helper {

using platform::allowFilePath;
using platform::kDefaultAllowFile;
using platform::loadAllowedUids;

// The peer's uid from SO_PEERCRED; false when it cannot be read.
bool peerUid(int fd, uid_t& uid);

// True when the connected peer on fd is root or listed in the allow file.
bool peerAllowed(int fd, const std::string& allowFile, uid_t* uidOut = nullptr);
// True for root and the uids listed in the allow file.
bool uidAllowed(uid_t uid, const std::string& allowFile);

} // namespace helper
