#pragma once
#include "helper/HelperMessage.h"

#include <ctime>
#include <string>
#include <sys/types.h>

// The connection to one peer as the helper reads and answers it: one receive is one message, with
// a bounded wait; SIGTERM/SIGINT (a service or supervisor stop) end any wait the way a closed
// connection does.
namespace helper {

class TunnelChannel;

// A peer says what it wants at once (the application sends its next message as soon as the last
// was answered): one that says nothing for this long gives its instance back.
inline constexpr timespec kMessageWait{5, 0};

// The stop signals set a flag, and stay blocked except inside the waits (and shell lines), so one
// arriving just before a blocking call is not missed.
void installStopHandler();
bool stopRequested();

// The receive buffer: one byte more than a receive may fill, so the text is always terminated.
struct Message {
    char text[kMessageBufferSize + 1];
    ssize_t length = -1;
    bool timedOut = false;
    bool tooLong() const { return length >= static_cast<ssize_t>(kMessageBufferSize); }
};

// Waits until fd is readable (or has a connection to accept); false on a stop request, or when
// limit (if any) passes first.
bool waitReadable(int fd, const timespec* limit = nullptr);
// One message; with a limit, a peer that sends nothing within it counts as a failed receive.
void receive(int fd, Message& m, const timespec* limit = nullptr);
void reply(int fd, const char* text);
// A fixed line of the helper's own through the shell, its result not looked at.
void runShell(const std::string& line);

// The lines of an open tunnel channel, until the client closes its end, sends a line that is not
// one of the channel's (TunnelChannel runs nothing for it), or the tunnel program is gone.
void runTunnelChannel(int conn, TunnelChannel& channel);

} // namespace helper
