#pragma once
#include "platform/Task.h"

#include "helper/UniqueFd.h"
#include "helper/UserRights.h"

#include <memory>
#include <string>
#include <sys/types.h>

// The helper's socket server and the two tunnel-program launchers it calls.

inline constexpr const char* kHelperSocketPath = "/var/run/com.norvell.tvapphelper.ipc";

// Serves exactly one connection and returns: the one the service manager handed over
// (LISTEN_PID/LISTEN_FDS), or else one accepted on the socket bound at the socket path.
void server_start();

// $TVAPPHELPER_SOCKET (tests and the demo), or the fixed socket path.
std::string helperSocketPath();

// Starts OpenVPN for <root>/OpenVPN, its working directory, with the management options and returns
// its task without waiting. What runs is the helper's own copy of the openvpn launcher, given the
// checked config.ovpn and the log made by the helper, both touched with user's rights; nullptr when
// the folder (which must belong to user), config.ovpn, ovpn.log or the copy is refused, or nothing
// could be started. logReader, when given, receives a descriptor of the ovpn.log openvpn writes.
std::unique_ptr<platform::Task> execOVPN(const std::string& rootPath, const helper::Credentials& user,
                                         helper::UniqueFd* logReader = nullptr);

// Starts openconnect in <root>/openconnect (the helper's own copy of the launcher), its input read
// from password.txt and its output written to a fresh status.log, and records its pid in childpid,
// the files touched with owner's rights. Returns openconnect's task at once; nullptr when something
// is refused.
std::unique_ptr<platform::Task> execOPENCONNECT(const std::string& rootPath, const std::string& user,
                                                const std::string& url, const std::string& pin,
                                                const helper::Credentials& owner);

// The designed shell line for the log: what execOPENCONNECT does, fields quoted as they would be.
std::string openConnectCommandLine(const std::string& user, const std::string& url, const std::string& pin);

// SIGTERM, a bounded wait, then SIGKILL if need be; the task is reaped either way.
void stopTask(platform::Task& task);
