#include "helper/PeerConnection.h"

#include "helper/HelperLog.h"
#include "helper/TunnelChannel.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>

namespace helper {
namespace {

using namespace std::chrono_literals;

// A tunnel lives for hours, one shell line now and then; this only keeps the loop finite.
constexpr long kMaxTunnelCommands = 1000000;
// How often a waiting tunnel channel looks whether its program still runs, and how long after the
// program has gone the application still has to send its own stop lines or close the channel.
constexpr timespec kProgramCheck{0, 500'000'000};
constexpr auto kProgramGoneGrace = 3s;

// Set by SIGTERM/SIGINT (service stop, supervisor stop): the helper then leaves the way it leaves
// a closed channel, so openvpn is not left running orphaned. The signals stay blocked except
// inside ppoll (and shell lines), so one arriving just before a blocking call is not missed.
volatile sig_atomic_t g_stopRequested = 0;
bool g_stopSignalsBlocked = false;
sigset_t g_waitMask; // the mask to wait with: the stop signals unblocked

void onStopSignal(int) {
    g_stopRequested = 1;
}

timespec remainingUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::max(std::chrono::nanoseconds(0), deadline - std::chrono::steady_clock::now());
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(left);
    return timespec{static_cast<time_t>(secs.count()), static_cast<long>((left - secs).count())};
}

// Waits until the client sends a line or closes the channel. False on a stop request, or once
// the tunnel program has been gone for the grace period: the channel then ends, which tells the
// application that its tunnel is over.
bool waitForClient(int conn, const TunnelChannel& channel) {
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> gone;
    for (;;) {
        if (g_stopRequested) return false;
        if (!gone && !channel.programRunning()) gone = Clock::now();
        if (gone && Clock::now() - *gone >= kProgramGoneGrace) {
            hlog("server: the tunnel program has ended, channel closed.");
            return false;
        }
        pollfd p{conn, POLLIN, 0};
        const int r = ::ppoll(&p, 1, &kProgramCheck, g_stopSignalsBlocked ? &g_waitMask : nullptr);
        if (r > 0 || (r < 0 && errno != EINTR)) return true;
    }
}

} // namespace

void installStopHandler() {
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigprocmask(SIG_BLOCK, &stops, &g_waitMask);
    sigdelset(&g_waitMask, SIGTERM);
    sigdelset(&g_waitMask, SIGINT);
    g_stopSignalsBlocked = true;
}

bool stopRequested() {
    return g_stopRequested != 0;
}

bool waitReadable(int fd, const timespec* limit) {
    const auto deadline =
        std::chrono::steady_clock::now() +
        (limit ? std::chrono::seconds(limit->tv_sec) + std::chrono::nanoseconds(limit->tv_nsec)
               : std::chrono::nanoseconds(0));
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (g_stopRequested) return false;
        pollfd p{fd, POLLIN, 0};
        const timespec left = limit ? remainingUntil(deadline) : timespec{};
        int r = ::ppoll(&p, 1, limit ? &left : nullptr, g_stopSignalsBlocked ? &g_waitMask : nullptr);
        if (r > 0) return true;
        if (r == 0) return false;
        if (r < 0 && errno != EINTR) return true; // let the call itself report the error
    }
    return false;
}

void receive(int fd, Message& m, const timespec* limit) {
    std::memset(m.text, 0, sizeof m.text);
    m.length = -1;
    m.timedOut = false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (!waitReadable(fd, limit)) {
            m.timedOut = limit != nullptr && !g_stopRequested;
            break;
        }
        m.length = ::recv(fd, m.text, kMessageBufferSize, 0);
        if (m.length >= 0 || errno != EINTR) return;
    }
    m.length = -1;
    if (m.timedOut)
        hlog("server: no message within %ld s, connection closed.", static_cast<long>(limit->tv_sec));
}

void reply(int fd, const char* text) {
    ::send(fd, text, std::strlen(text), MSG_NOSIGNAL);
}

void runShell(const std::string& line) {
    // The shell inherits the signal mask: it must not start with the stop signals blocked.
    sigset_t blocked;
    if (g_stopSignalsBlocked) sigprocmask(SIG_SETMASK, &g_waitMask, &blocked);
    int rc = std::system(line.c_str());
    (void)rc; // these results are not looked at
    if (g_stopSignalsBlocked) sigprocmask(SIG_SETMASK, &blocked, nullptr);
}

void runTunnelChannel(int conn, TunnelChannel& channel) {
    Message m;
    hlog("command recv wait...");
    if (!waitForClient(conn, channel)) return;
    receive(conn, m);
    for (long count = 0;; ++count) {
        if (m.length < 0) {
            hlog("server: read error.");
            return;
        }
        if (m.length == 0) {
            hlog("server: read error2.");
            return;
        }
        // The rest of an over-long line would arrive as a line of its own: end the channel instead.
        if (m.tooLong()) {
            hlog("server: command too long, channel closed.");
            return;
        }
        if (count >= kMaxTunnelCommands) {
            hlog("server: too many commands, channel closed.");
            return;
        }
        std::string_view line(m.text, static_cast<size_t>(m.length));
        while (!line.empty() && line.back() == '\0')
            line.remove_suffix(1);
        if (!channel.runLine(line)) return;
        hlog("command recv wait...");
        if (!waitForClient(conn, channel)) return;
        receive(conn, m);
    }
}

} // namespace helper
