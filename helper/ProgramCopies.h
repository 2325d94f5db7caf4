#pragma once
#include <string>

// The programs the helper runs as root are its own copies, installed beside it (in a build tree,
// beside the built helper): <dir>/OpenVPN/openvpn, <dir>/OpenVPN/set-dns.sh,
// <dir>/openconnect/openconnect and the routing script <dir>/openconnect/vpnc-script-wrapper. The
// copies in the user's working folder keep the designed layout but are never what root executes.
namespace helper {

inline constexpr const char* kOpenVpnCopy = "OpenVPN/openvpn";
inline constexpr const char* kSetDnsCopy = "OpenVPN/set-dns.sh";
inline constexpr const char* kOpenConnectCopy = "openconnect/openconnect";
inline constexpr const char* kRoutingScriptCopy = "openconnect/vpnc-script-wrapper";

// $TVAPPHELPER_PROGRAM_DIR (tests), or the folder of the running helper.
std::string helperProgramDir();

// True when path names a regular executable file that only root can change: the file and every
// folder above it belong to root and are writable by nobody else (a sticky folder such as /tmp
// excepted). resolved is the path without symbolic links, the one to execute; reason says why not.
bool isRootOnlyProgram(const std::string& path, std::string& resolved, std::string& reason);

// The helper's copy of relative (one of the k...Copy names), checked; empty (and logged) when it
// is missing or could be changed by a user other than root.
std::string rootOnlyCopy(const char* relative);

} // namespace helper
