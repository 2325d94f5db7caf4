#include "app/channels/ChannelIO.h"

#include <atomic>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <time.h>

namespace channels {
namespace {

std::atomic<long long> pauseMs{1000};
std::atomic<long long> waitUs{1000};

timespec toTimespec(long long us) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(us / 1000000);
    ts.tv_nsec = static_cast<long>((us % 1000000) * 1000);
    return ts;
}

} // namespace

std::chrono::milliseconds commandPause() {
    return std::chrono::milliseconds(pauseMs.load());
}
void setCommandPause(std::chrono::milliseconds pause) {
    pauseMs.store(pause.count() < 0 ? 0 : pause.count());
}
void pauseAfterCommand() {
    std::this_thread::sleep_for(commandPause());
}

std::chrono::microseconds readinessWait() {
    return std::chrono::microseconds(waitUs.load());
}
void setReadinessWait(std::chrono::microseconds wait) {
    waitUs.store(wait.count() < 0 ? 0 : wait.count());
}

bool waitReadable(int fd) {
    return waitReadableFor(fd, std::chrono::microseconds(waitUs.load()));
}

bool waitReadableFor(int fd, std::chrono::microseconds wait) {
    if (fd < 0) return false;
    pollfd p{};
    p.fd = fd;
    p.events = POLLIN;
    const timespec ts = toTimespec(wait.count() < 0 ? 0 : wait.count());
    if (ppoll(&p, 1, &ts, nullptr) <= 0) return false;
    // select() counts a socket with a pending error or hang-up as readable; recv then reports it.
    return (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

void settle() {
    const timespec ts = toTimespec(waitUs.load());
    ppoll(nullptr, 0, &ts, nullptr);
}

bool peerClosed(int fd) {
    if (fd < 0) return false;
    pollfd p{};
    p.fd = fd;
    p.events = POLLIN | POLLRDHUP;
    if (::poll(&p, 1, 0) <= 0) return false;
    if (p.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) return true;
    char c;
    return ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

long sendBytes(int fd, const void* data, size_t len) {
    return ::send(fd, data, len, MSG_NOSIGNAL);
}

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

// OpenVPN's command parser splits at blanks, honours quotes and backslash escapes, and drops a
// token that starts with a comment character.
bool needsQuoting(const char* v) {
    if (v[0] == '#' || v[0] == ';') return true;
    for (const char* p = v; *p; ++p)
        if (isBlank(*p) || *p == '"' || *p == '\'' || *p == '\\') return true;
    return false;
}

} // namespace

bool buildAuthLine(const char* word, const char* value, size_t limit, std::string& line) {
    line.clear();
    if (!word || !value) return false;
    if (std::strpbrk(value, "\r\n")) return false; // would start a second management command
    std::string out = std::string(word) + " \"Auth\" ";
    if (needsQuoting(value)) {
        out += '"';
        for (const char* p = value; *p; ++p) {
            if (*p == '"' || *p == '\\') out += '\\';
            out += *p;
        }
        out += '"';
    } else {
        out += value;
    }
    out += '\n';
    if (out.size() + 1 > limit) return false;
    line = std::move(out);
    return true;
}

} // namespace channels
