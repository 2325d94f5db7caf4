// CheckStat, GetAssignDNS and SendCommand reading arbitrary peer output. The input is cut into
// pieces at 0xFF bytes; each piece is one record of a SOCK_SEQPACKET pair, so the reads see the
// pieces exactly as cut. All of them are queued in advance, so the readers run without waiting.
#include "app/channels/ChannelIO.h"
#include "app/channels/OVPNUtil.h"
#include "app/channels/helpersocket.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

struct Pair {
    int app = -1, peer = -1;
    Pair() {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) std::abort();
        app = sv[0];
        peer = sv[1];
    }
    ~Pair() {
        close(app);
        close(peer);
    }
};

void queuePieces(const Pair& p, const uint8_t* data, size_t size) {
    size_t start = 0;
    int pieces = 0;
    for (size_t i = 0; i <= size && pieces < 16; ++i) {
        if (i == size || data[i] == 0xFF) {
            send(p.peer, data + start, i - start, MSG_NOSIGNAL | MSG_DONTWAIT);
            start = i + 1;
            ++pieces;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Every piece is queued before a reader runs: no wait can bring more, so none is made.
    static const bool once = [] {
        channels::setCommandPause(std::chrono::milliseconds(0));
        channels::setReadinessWait(std::chrono::microseconds(0));
        setStateReplyBound(std::chrono::milliseconds(0));
        return true;
    }();
    (void)once;
    if (size == 0) return 0;
    const uint8_t flags = data[0];
    ++data;
    --size;

    {
        Pair p;
        queuePieces(p, data, size);
        if (flags & 1) shutdown(p.peer, SHUT_WR);
        chkStat = (flags & 2) != 0;
        const int r = CheckStat(p.app);
        if (r < -1 || r > 2) std::abort();
        if (strnlen(ovpnAssignAddr, sizeof ovpnAssignAddr) >= sizeof ovpnAssignAddr) std::abort();
    }
    {
        Pair p;
        queuePieces(p, data, size);
        if (flags & 1) shutdown(p.peer, SHUT_WR);
        // Exactly the documented minimum, on the heap, so any overrun is caught.
        auto out = std::make_unique<char[]>(17);
        std::memset(out.get(), 'x', 17);
        const int r = GetAssignDNS(p.app, out.get());
        if (r != 0 && r != 1) std::abort();
        if (r == 1 && strnlen(out.get(), 17) > 16) std::abort();
    }
    {
        Pair p;
        queuePieces(p, data, size);
        const int r = SendCommand(p.app, "state\n");
        if (r != 0 && r != 1) std::abort();
    }
    return 0;
}
