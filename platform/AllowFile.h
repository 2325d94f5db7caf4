#pragma once
#include <set>
#include <string>
#include <sys/types.h>

// The users the helper serves besides root, recorded at install time in a root-owned allow file
// (one numeric uid or user name per line, '#' starts a comment line). The helper checks its peers
// against it; the application reads it to know whether the helper would serve it.
namespace platform {

inline constexpr const char* kDefaultAllowFile = "/etc/com.norvell.tvapphelper.allow";

// $TVAPPHELPER_ALLOW_FILE, or the default path.
std::string allowFilePath();

// The uids listed in the file; empty when the file is missing, not a regular file, not owned by
// root, or writable by group or others (such a file could have been planted).
std::set<uid_t> loadAllowedUids(const std::string& path);

} // namespace platform
