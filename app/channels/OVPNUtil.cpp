#include "app/channels/OVPNUtil.h"

#include "app/channels/ChannelIO.h"
#include "platform/Log.h"

#include <chrono>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/socket.h>

std::atomic<bool> chkStat{false};
char ovpnAssignAddr[256];

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

int mapState(std::string_view text) {
    std::string_view state, description, address;
    if (text.empty()) return 1;
    // A first field alone (no comma) is some other output, not a verdict: keep waiting rather than
    // tear a working tunnel down.
    if (!field(text, 2, state)) return 1;
    if (!field(text, 3, description)) description = {};
    if (field(text, 4, address)) {
        const size_t n = std::min(address.size(), sizeof ovpnAssignAddr - 1);
        std::memcpy(ovpnAssignAddr, address.data(), n);
        ovpnAssignAddr[n] = '\0';
    }

    if (state == "RECONNECTING") return 0;
    if (state == "CONNECTING" || state == "WAIT" || state == "AUTH" || state == "GET_CONFIG" ||
        state == "ASSIGN_IP")
        return 1;
    if (state == "CONNECTED") {
        if (description != "SUCCESS") return 0;
        return chkStat.exchange(true) ? 1 : 2;
    }
    return 0;
}

// One receive into buf (cleared, at most size-1 bytes so it stays terminated); returns the count.
long receivePiece(int fd, char* buf, size_t size) {
    std::memset(buf, 0, size);
    return ::recv(fd, buf, size - 1, 0);
}

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

    std::memset(buf, 0, sizeof buf);
    long n = 0;
    if (channels::waitReadable(fd)) {
        n = receivePiece(fd, buf, sizeof buf);
        if (n == 0) return 0;
        if (n < 0) n = 0;
    }
    platform::logText(buf);
    return mapState(std::string_view(buf, std::strlen(buf)));
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
