#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// The application's side of the helper socket and of OpenVPN's management interface.
// Descriptors are plain ints owned by the caller: -1 means none, 1 or more means open.

// "/var/run/com.norvell.tvapphelper.ipc", or $TVAPPHELPER_SOCKET when set (read on every call).
const char* helperSocketPath();

// Connects to the helper, sends len bytes, reads the reply once (up to 256 bytes) and returns the
// still open descriptor; the reply goes to *reply when asked for, "" when none came. A socket that
// is absent or refuses (a helper being restarted) is tried again for kHelperConnectRetryMs before
// the open but unconnected descriptor is returned; only a failed socket() gives -1. The read waits
// at most kHelperReplyTimeoutSeconds.
int requestDaemonBySocket(const void* buf, size_t len, std::string* reply = nullptr);
inline constexpr int kHelperReplyTimeoutSeconds = 10;
inline constexpr int kHelperConnectRetryMs = 2000;
inline constexpr int kHelperConnectRetryStepMs = 50;

// Connects, writes the single byte "1" and closes; returns the result of close (-1 without socket).
int raiseDaemonBySocket();

int socket_close(int fd);
void helpertest();

inline constexpr uint16_t kOVPNManagementPort = 17505;

// Opens the management connection on 127.0.0.1, releases the hold and hands over the credentials.
// Returns the descriptor, or -1. Credentials that hold a line break or do not fit the 256-byte
// command line are refused before anything is sent, and nothing is sent at all unless the endpoint
// belongs to root (the openvpn the helper started): a user's listener that took the port fails like
// a refused connection. Call it only after the helper answered "1" to the start command. The port
// is a parameter for tests only.
int ConnectOVPNControle(const char* user, const char* password, uint16_t port = kOVPNManagementPort);

// Sends command (without its NUL), pauses, drains the reply; 1 when the last piece read contains
// "SUCCESS", else 0.
int SendCommand(int fd, const char* command);

// One sub-command ("SET_KEY,…", "REMOVE_PREF,…") on a fresh "CMD_SCNETWORK" connection, sent with
// SendCommand once the helper has answered the connection. Returns the descriptor (-1 for none);
// the caller closes it. Every system-service request of the application goes through here. The
// sub-command's answer, when one came within SendCommand's pause, goes to *answer ("" otherwise).
int requestScNetwork(const char* subCommand, std::string* answer = nullptr);

// One readiness wait on a helper connection for an answer still owed: 1 and the answer read into
// `answer` (one receive, at most 256 bytes), 0 nothing yet, -1 the helper closed or the read failed.
int pollHelperAnswer(int fd, std::string& answer);
