#pragma once
#include <set>
#include <string>
#include <sys/types.h>

// Who may talk to the helper: root, and the users recorded at install time in a root-owned
// allow file (one numeric uid or user name per line, '#' starts a comment line).
namespace helper {

inline constexpr const char* kDefaultAllowFile = "/etc/com.norvell.tvapphelper.allow";

// $TVAPPHELPER_ALLOW_FILE, or the default path.
std::string allowFilePath();

// The uids listed in the file; empty when the file is missing, not a regular file, not owned by
// root, or writable by group or others (such a file could have been planted).
std::set<uid_t> loadAllowedUids(const std::string& path);

// The peer's uid from SO_PEERCRED; false when it cannot be read.
bool peerUid(int fd, uid_t& uid);

// True when the connected peer on fd is root or listed in the allow file.
bool peerAllowed(int fd, const std::string& allowFile, uid_t* uidOut = nullptr);

} // namespace helper
