#include "app/channels/OVPNUtil.h"

#include "app/channels/ChannelIO.h"
#include "platform/Log.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/socket.h>

std::atomic<bool> chkStat{false};
char ovpnAssignAddr[256];
char ovpnStateName[32];
char ovpnStateTime[24];

namespace {
std::atomic<long long> stateReplyMs{kStateReplyMs};
} // namespace

std::chrono::milliseconds stateReplyBound() {
    return std::chrono::milliseconds(stateReplyMs.load());
}
void setStateReplyBound(std::chrono::milliseconds bound) {
    stateReplyMs.store(bound.count() < 0 ? 0 : bound.count());
}

namespace {

constexpr char kAuthFailed[] = ">PASSWORD:Verification Failed: 'Auth'";
static_assert(sizeof kAuthFailed - 1 == 37);
constexpr std::string_view kDnsOption = "dhcp-option DNS ";
constexpr size_t kDnsMax = 16;

// Field `index` (1-based) of a comma-separated text, cut at its line end; false when absent.
// Empty fields count, so the fourth field is the tunnel address even while the description is empty.
bool field(std::string_view text, int index, std::string_view& out) {
    size_t start = 0;
    for (int i = 1; i < index; ++i) {
        const size_t comma = text.find(',', start);
        if (comma == std::string_view::npos) return false;
        start = comma + 1;
    }
    std::string_view f = text.substr(start);
    f = f.substr(0, f.find(','));
    f = f.substr(0, f.find_first_of("\r\n"));
    out = f;
    return true;
}

template <size_t N> void recordField(char (&out)[N], std::string_view text) {
    const size_t n = std::min(text.size(), N - 1);
    if (n > 0) std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

void recordStateName(std::string_view state) {
    recordField(ovpnStateName, state);
}

int mapState(std::string_view text) {
    std::string_view time, state, description, address;
    recordStateName({});
    recordField(ovpnStateTime, {});
    if (text.empty()) return 1;
    // A first field alone (no comma) is some other output, not a verdict: keep waiting rather than
    // tear a working tunnel down.
    if (!field(text, 2, state)) return 1;
    recordStateName(state);
    if (field(text, 1, time)) recordField(ovpnStateTime, time);
    if (!field(text, 3, description)) description = {};
    if (field(text, 4, address)) {
        const size_t n = std::min(address.size(), sizeof ovpnAssignAddr - 1);
        std::memcpy(ovpnAssignAddr, address.data(), n);
        ovpnAssignAddr[n] = '\0';
    }

    if (state == "CONNECTED") {
        if (description != "SUCCESS") return 0;
        return chkStat.exchange(true) ? 1 : 2;
    }
    // Only these end a session. Every other state (CONNECTING, RESOLVE, TCP_CONNECT, WAIT, AUTH,
    // AUTH_PENDING, GET_CONFIG, ASSIGN_IP, ADD_ROUTES, and any a later openvpn adds) is a step of
    // the set-up, which the caller's time-out bounds.
    if (state == "RECONNECTING" || state == "EXITING") return 0;
    return 1;
}

// One receive into buf (cleared, at most size-1 bytes so it stays terminated); returns the count.
long receivePiece(int fd, char* buf, size_t size) {
    std::memset(buf, 0, size);
    return ::recv(fd, buf, size - 1, 0);
}

// The reply to "state": its one state line (the first line that is neither a real-time
// notification nor the END line) and whether the END line has arrived.
struct StateReply {
    std::string_view line;
    bool complete = false;
};

StateReply parseStateReply(std::string_view text) {
    StateReply r;
    size_t start = 0;
    while (start < text.size()) {
        const size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) {
            // A last line without its line end is still coming; use it only when nothing better came.
            if (r.line.empty() && text[start] != '>') r.line = text.substr(start);
            break;
        }
        std::string_view line = text.substr(start, nl - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        start = nl + 1;
        if (line == "END") {
            r.complete = true;
            break;
        }
        if (r.line.empty() && !line.empty() && line.front() != '>') r.line = line;
    }
    return r;
}

constexpr size_t kMaxStateReply = 16 * 1024;

bool endsDnsOption(char c) {
    return c == ',' || c == '\0' || c == '\'' || c == '"' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

int CheckStat(int fd) {
    platform::logText("CheckStat");
    char buf[1024];
    std::memset(buf, 0, sizeof buf);

    if (channels::waitReadable(fd)) {
        const long n = receivePiece(fd, buf, sizeof buf);
        if (n == 0) return 0;
        if (n >= 37 && std::memcmp(buf, kAuthFailed, 37) == 0) return -1;
    }

    if (channels::sendBytes(fd, "state\n", sizeof "state\n") < 1) return 0; // 7 bytes: NUL included

    // The reply may come in pieces: read on until its END line, within a short bound, so that a
    // split reply is not taken for an empty one.
    std::string reply;
    const auto deadline = std::chrono::steady_clock::now() + stateReplyBound();
    for (int pieces = 0; pieces < channels::kMaxDrainPieces && reply.size() < kMaxStateReply; ++pieces) {
        if (parseStateReply(reply).complete) break;
        // Past the bound, only what has already arrived is still taken.
        const auto left = std::max(std::chrono::microseconds(0), std::chrono::duration_cast<std::chrono::microseconds>(
                                                                      deadline - std::chrono::steady_clock::now()));
        if (!channels::waitReadableFor(fd, left)) break;
        const long n = receivePiece(fd, buf, sizeof buf);
        if (n == 0) return 0;
        if (n < 0) break;
        reply.append(buf, std::strlen(buf)); // up to the first NUL, as the text was always read
    }
    platform::logText(reply.c_str());
    return mapState(parseStateReply(reply).line);
}

int GetAssignDNS(int fd, char* out) {
    if (channels::sendBytes(fd, "log all\n", 8) == 0) return 0;
    channels::pauseAfterCommand();

    char buf[2048];
    std::memset(buf, 0, sizeof buf);
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + channels::kMaxDrainTime;
    int pieces = 0;
    bool readable = channels::waitReadable(fd);
    while (readable) {
        // Bytes, not decoded text: a piece may end inside a multi-byte character.
        const long n = receivePiece(fd, buf, sizeof buf);
        if (n == 0) return 0;
        if (n < 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (++pieces >= channels::kMaxDrainPieces || std::chrono::steady_clock::now() >= deadline) break;
        readable = channels::waitReadable(fd);
    }
    if (text.empty()) return 0;

    const size_t at = text.find(kDnsOption);
    if (at == std::string::npos) return 0;

    // The first character always, then up to 16 in all, stopping at the next ","; the end of the
    // log line or of the quoted option list also ends the address.
    char work[kDnsMax + 1] = {};
    size_t k = 0;
    size_t i = at + kDnsOption.size();
    if (i < text.size() && text[i] != '\0') work[k++] = text[i++];
    while (k < kDnsMax && i < text.size() && !endsDnsOption(text[i]))
        work[k++] = text[i++];
    if (out) std::memcpy(out, work, k + 1);
    return 1;
}
