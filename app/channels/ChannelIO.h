#pragma once
#include <chrono>
#include <cstddef>
#include <string>

// Shared plumbing of the control channels: readiness waits, the pause after a command, bounded
// draining of a peer's output and the credential lines.
namespace channels {

// The pause after each management command; exactly 1 s in production, shortened by tests only.
std::chrono::milliseconds commandPause();
void setCommandPause(std::chrono::milliseconds pause);
void pauseAfterCommand();

// Waits up to the readiness wait (1000 microseconds; lengthened by tests only) for fd to become
// readable. poll, not select: any descriptor value works.
bool waitReadable(int fd);
// The same wait with an explicit limit.
bool waitReadableFor(int fd, std::chrono::microseconds wait);
std::chrono::microseconds readinessWait();
void setReadinessWait(std::chrono::microseconds wait);

// A readiness wait over no descriptors: the short settling pause after a non-blocking connect.
void settle();

// True when the peer of a connected socket has closed its end (or the socket is not connected):
// nothing is read, pending data stays where it is.
bool peerClosed(int fd);

// send() that never raises SIGPIPE on a closed peer.
long sendBytes(int fd, const void* data, size_t len);

// A peer that never stops talking must not keep a reader forever.
inline constexpr int kMaxDrainPieces = 4096;
inline constexpr std::chrono::seconds kMaxDrainTime{5};

// Builds `<word> "Auth" <value>\n`. The value is quoted for OpenVPN's command parser when it holds
// blanks, quotes, backslashes or starts a comment, so ordinary values go out unchanged. Returns
// false (line left empty) for a value with a line break or a line that would not fit in `limit`
// bytes including its terminator.
bool buildAuthLine(const char* word, const char* value, size_t limit, std::string& line);

} // namespace channels
