#include "app/channels/helpersocket.h"

#include "app/channels/ChannelIO.h"
#include "app/channels/ManagementOwner.h"
#include "app/channels/OVPNUtil.h"
#include "protocol/HelperProtocol.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char* kHelperSocketPath = "/var/run/com.norvell.tvapphelper.ipc";

// A path that does not fit is refused: a shortened path could name some other socket.
bool fillHelperAddress(sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    const char* path = helperSocketPath();
    const size_t n = std::strlen(path);
    if (n == 0 || n >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path, n);
    return true;
}

bool connectHelper(int fd) {
    sockaddr_un addr;
    if (!fillHelperAddress(addr)) return false;
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

// Absent (ENOENT) or refusing (ECONNREFUSED) or full (EAGAIN): a helper service that is being
// restarted, worth another try.
bool worthRetrying(int err) {
    return err == ENOENT || err == ECONNREFUSED || err == EAGAIN;
}

// A connected socket, retried for a short bounded time; otherwise the last (unconnected) one, or -1.
int connectHelperRetrying() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHelperConnectRetryMs);
    for (;;) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        if (connectHelper(fd)) return fd;
        const int err = errno;
        if (!worthRetrying(err) || std::chrono::steady_clock::now() >= deadline) return fd;
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(kHelperConnectRetryStepMs));
    }
}

// Waits (at most limit) for a non-blocking connect to finish; true when it succeeded.
bool connectFinished(int fd, std::chrono::milliseconds limit) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return false;
    int err = 0;
    socklen_t len = sizeof err;
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
}

void setReceiveTimeout(int fd, int seconds) {
    timeval tv{};
    tv.tv_sec = seconds;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

} // namespace

const char* helperSocketPath() {
    const char* env = std::getenv("TVAPPHELPER_SOCKET");
    return (env && *env) ? env : kHelperSocketPath;
}

int requestDaemonBySocket(const void* buf, size_t len, std::string* reply) {
    if (reply) reply->clear();
    // Close-on-exec: a child of the application must not hold the tunnel channel open.
    const int fd = connectHelperRetrying();
    if (fd < 0) return -1;
    sockaddr_un peer{};
    socklen_t peerLen = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0) return fd; // later sends fail

    if (channels::sendBytes(fd, buf, len) < 0) perror("client: write");

    // A hung helper must not hold the caller forever.
    setReceiveTimeout(fd, kHelperReplyTimeoutSeconds);
    char text[256];
    text[0] = '\0';
    const ssize_t n = ::recv(fd, text, sizeof text, 0);
    if (reply && n > 0) reply->assign(text, static_cast<size_t>(n));
    setReceiveTimeout(fd, 0);
    return fd;
}

int raiseDaemonBySocket() {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connectHelper(fd)) (void)channels::sendBytes(fd, "1", 1);
    return ::close(fd);
}

int socket_close(int fd) {
    return ::close(fd);
}

void helpertest() {}

namespace {

struct Drained {
    std::string last;   // the last piece read, "" when none came
    bool ended = false; // the peer closed, or a read failed, after whatever was read
};

// Sends command (without its NUL), pauses and drains the reply. False when the send failed.
bool sendAndDrain(int fd, const char* command, Drained& out) {
    if (fd < 0) return false;
    if (!command) return false;
    if (channels::sendBytes(fd, command, std::strlen(command)) == 0) return false;

    channels::pauseAfterCommand();

    // Only the last piece read is examined, as it arrives; the reply is not reassembled.
    char buf[2048];
    const auto deadline = std::chrono::steady_clock::now() + channels::kMaxDrainTime;
    int pieces = 0;
    bool readable = channels::waitReadable(fd);
    while (readable) {
        const long n = ::recv(fd, buf, sizeof buf - 1, 0);
        if (n <= 0) {
            out.ended = true;
            break;
        }
        out.last.assign(buf, static_cast<size_t>(n));
        if (++pieces >= channels::kMaxDrainPieces || std::chrono::steady_clock::now() >= deadline) break;
        readable = channels::waitReadable(fd);
    }
    return true;
}

} // namespace

int SendCommand(int fd, const char* command) {
    Drained d;
    if (!sendAndDrain(fd, command, d) || d.ended || d.last.empty()) return 0;
    return d.last.find("SUCCESS") != std::string::npos ? 1 : 0;
}

int pollHelperAnswer(int fd, std::string& answer) {
    if (fd < 0 || !channels::waitReadable(fd)) return fd < 0 ? -1 : 0;
    char buf[256];
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
        answer.assign(buf, static_cast<size_t>(n));
        return 1;
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
}

int ConnectOVPNControle(const char* user, const char* password, uint16_t port) {
    chkStat = false;

    // Checked before connecting: a refused credential must not leave a half-done dialogue behind.
    std::string userLine, passwordLine;
    if (!channels::buildAuthLine("username", user, 256, userLine) ||
        !channels::buildAuthLine("password", password, 256, passwordLine))
        return -1;

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    ioctl(fd, FIONBIO, &on);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    (void)::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr); // normally in progress
    channels::settle();

    // Not a word, not even "hold off", to an endpoint that is not root's.
    if (!connectFinished(fd, std::chrono::seconds(1)) || !channels::managementEndpointIsRoot(fd, port)) {
        ::close(fd);
        return -1;
    }

    if (SendCommand(fd, "hold off\n") && SendCommand(fd, "hold release\n") &&
        SendCommand(fd, userLine.c_str()) && SendCommand(fd, passwordLine.c_str()))
        return fd;
    ::close(fd);
    return -1;
}

int requestScNetwork(const char* subCommand, std::string* answer) {
    static const std::string kScNetwork = *protocol::scNetworkMessage();
    const int fd = requestDaemonBySocket(kScNetwork.data(), kScNetwork.size());
    Drained d;
    (void)sendAndDrain(fd, subCommand, d);
    // The helper closes the connection after its answer: the answer still counts.
    if (answer) *answer = std::move(d.last);
    return fd;
}
