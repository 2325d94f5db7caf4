#pragma once
#include <cstddef>
#include <cstdint>

// The application's side of the helper socket and of OpenVPN's management interface.
// Descriptors are plain ints owned by the caller: -1 means none, 1 or more means open.

// "/var/run/com.norvell.tvapphelper.ipc", or $TVAPPHELPER_SOCKET when set (read on every call).
const char* helperSocketPath();

// Connects to the helper, sends len bytes, reads the reply once (up to 256 bytes, discarded) and
// returns the still open descriptor. A failed connect returns the open but unconnected descriptor;
// only a failed socket() gives -1. The read waits at most kHelperReplyTimeoutSeconds.
int requestDaemonBySocket(const void* buf, size_t len);
inline constexpr int kHelperReplyTimeoutSeconds = 10;

// Connects, writes the single byte "1" and closes; returns the result of close (-1 without socket).
int raiseDaemonBySocket();

int socket_close(int fd);
void helpertest();

inline constexpr uint16_t kOVPNManagementPort = 17505;

// Opens the management connection on 127.0.0.1, releases the hold and hands over the credentials.
// Returns the descriptor, or -1. Credentials that hold a line break or do not fit the 256-byte
// command line are refused before anything is sent. The port is a parameter for tests only.
int ConnectOVPNControle(const char* user, const char* password, uint16_t port = kOVPNManagementPort);

// Sends command (without its NUL), pauses, drains the reply; 1 when the last piece read contains
// "SUCCESS", else 0.
int SendCommand(int fd, const char* command);

// One sub-command ("SET_KEY,…", "REMOVE_PREF,…") on a fresh "CMD_SCNETWORK" connection, sent with
// SendCommand once the helper has answered the connection. Returns the descriptor (-1 for none);
// the caller closes it. Every system-service request of the application goes through here.
int requestScNetwork(const char* subCommand);
