#pragma once
#include "platform/Task.h"

#include <memory>
#include <string>

// The helper's socket server and the two tunnel-program launchers it calls.

inline constexpr const char* kHelperSocketPath = "/var/run/com.norvell.tvapphelper.ipc";

// Serves exactly one connection, from socket creation to the end of that connection.
void server_start();

// $TVAPPHELPER_SOCKET (tests and the demo), or the fixed socket path.
std::string helperSocketPath();

// Starts <root>/OpenVPN/openvpn in <root>/OpenVPN with the management options and returns its task
// without waiting; nullptr when config.ovpn is refused or the program cannot be started.
std::unique_ptr<platform::Task> execOVPN(const std::string& rootPath);

// Runs the openconnect line under bash in <root>/openconnect, which backgrounds openconnect and
// records its pid in childpid; returns the finished shell's task, nullptr when it cannot start.
std::unique_ptr<platform::Task> execOPENCONNECT(const std::string& rootPath, const std::string& user,
                                                const std::string& url, const std::string& pin);

// The shell line execOPENCONNECT runs (fields quoted only when they need it).
std::string openConnectCommandLine(const std::string& user, const std::string& url, const std::string& pin);

// SIGTERM, a bounded wait, then SIGKILL if need be; the task is reaped either way.
void stopTask(platform::Task& task);
