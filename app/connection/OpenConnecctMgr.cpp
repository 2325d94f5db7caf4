#include "app/connection/OpenConnecctMgr.h"

#include "app/catalogue/VPNPreferences.h"
#include "app/channels/ChannelIO.h"
#include "app/channels/OVPNUtil.h"
#include "app/channels/helpersocket.h"
#include "app/common/SettingUtil.h"
#include "app/connection/ConnectionHost.h"
#include "app/connection/ConnectionWindow.h"
#include "app/connection/KnownServers.h"
#include "app/connection/PublicAddress.h"
#include "app/service/Constants.h"
#include "app/service/ServerCertificate.h"
#include "platform/Defaults.h"
#include "platform/Log.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/Dispatch.h"
#include "protocol/HelperProtocol.h"

#include <QLabel>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <mutex>
#include <net/if.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

std::atomic<int> OpenConnectMgr::_helper_daemon_socket{-1};
std::atomic<int> OpenConnectMgr::_opcon_estb_check_count{0};
std::atomic<bool> OpenConnectMgr::_IsStopManual{false};
std::atomic<bool> OpenConnectMgr::_OnSarting{false};
std::atomic<bool> OpenConnectMgr::_OnStoping{false};
std::atomic<int> OpenConnectMgr::_pendingWorkerSignals{0};
std::chrono::milliseconds OpenConnectMgr::probeTimeLimit{20000};
std::function<void()> OpenConnectMgr::nextProtocolHook;
std::function<bool()> OpenConnectMgr::tunnelLostHook;
std::atomic<bool> OpenConnectMgr::_tunnelWasUp{false};
std::atomic<bool> OpenConnectMgr::_reconnecting{false};
std::atomic<std::int64_t> OpenConnectMgr::_reconnectDeadline{0};
std::function<ServerCertificate(const std::string&)> OpenConnectMgr::certificateQueryHook;
std::function<std::vector<std::string>()> OpenConnectMgr::tunnelAddressesHook;

namespace {

constexpr const char* kStatusDisconnected = "未接続";
constexpr const char* kStatusConnecting = "接続中...";
constexpr const char* kStatusConnected = "接続中";

constexpr const char* kFailedToOpen = "Failed to open HTTPS connection";
constexpr const char* kSslReadError = "SSL read error";
// How the lines start that the GnuTLS build of openconnect prints when the session ends or the
// login is refused.
constexpr const char* kSessionEndMarkers[] = {
    "Login failed.",
    "Read error on SSL session",
    "CSTP Dead Peer Detection detected dead peer",
    "Session terminated by server; exiting.",
    "Cookie was rejected by server; exiting.",
};
constexpr std::string_view kGatewayLine = "add net default: gateway ";
// openconnect 9 says "Configured as" where older versions said "Connected as".
constexpr std::string_view kUpLines[] = {"Configured as ", "Connected as "};
// openconnect's line once its CSTP channel is up, at the first connection and at each reconnect.
constexpr std::string_view kCstpUpLine = "CSTP connected.";

std::int64_t steadyNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Operational log: the system log and standard error, always as data.
void nslog(const std::string& text) {
    platform::logText(text.c_str());
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

void sleepSeconds(int n) {
    std::this_thread::sleep_for(std::chrono::seconds(n));
}

// Display changes always run on the GUI thread, against the delegate found there.
void onDelegate(std::function<void(ConnectionHost&)> fn) {
    dispatch::mainAsync([fn = std::move(fn)] {
        if (ConnectionHost* app = connectionHost()) fn(*app);
    });
}

void showStatus(const char* status) {
    const QString text = QString::fromUtf8(status);
    onDelegate([text](ConnectionHost& app) { app.updateStatus(text); });
}

template <class Fn> void forEachLine(std::string_view text, Fn&& fn) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        fn(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Length of the UTF-8 sequence of a printable character at text[i]; 0 for anything else.
size_t printableSequence(std::string_view text, size_t i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) return (c >= 0x20 && c != 0x7F) || c == '\n' || c == '\t' ? 1 : 0;
    size_t len;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
        len = 2;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > text.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        const auto cc = static_cast<unsigned char>(text[i + k]);
        if ((cc & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (cc & 0x3F);
    }
    static constexpr uint32_t kMinForLength[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMinForLength[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) ||
        (cp >= 0x80 && cp < 0xA0))
        return 0;
    return len;
}

// How far status.log was logged. The helper makes a fresh file for every attempt.
struct StatusCursor {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t offset = 0;
};
std::mutex statusCursorMu;
StatusCursor statusCursor;

void forgetStatusCursor() {
    std::lock_guard lock(statusCursorMu);
    statusCursor = {};
}

// The whole lines of status.log not logged yet, escaped, at most kStatusLogChunk of them; a
// backlog beyond that is skipped with a note. A line longer than the chunk is logged cut.
std::string newStatusLines(const std::string& path) {
    constexpr off_t kChunk = static_cast<off_t>(OpenConnectMgr::kStatusLogChunk);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return {};
    std::lock_guard lock(statusCursorMu);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return {};
    }
    StatusCursor& c = statusCursor;
    if (st.st_dev != c.dev || st.st_ino != c.ino || st.st_size < c.offset) c = {st.st_dev, st.st_ino, 0};
    const off_t pending = st.st_size - c.offset;
    const off_t from = pending > kChunk ? st.st_size - kChunk : c.offset;
    std::string buf(static_cast<size_t>(st.st_size - from), '\0');
    const ssize_t got = buf.empty() ? 0 : ::pread(fd, buf.data(), buf.size(), from);
    ::close(fd);
    if (got <= 0) return {};
    buf.resize(static_cast<size_t>(got));

    std::string note;
    size_t begin = 0;
    if (from > c.offset) {
        const size_t nl = buf.find('\n');
        if (nl != std::string::npos && nl + 1 < buf.size()) begin = nl + 1;
        note =
            std::to_string(from + static_cast<off_t>(begin) - c.offset) + " bytes of status.log not logged\n";
    }
    const size_t last = buf.rfind('\n');
    size_t stop = last == std::string::npos || last < begin ? begin : last + 1;
    if (stop == begin && pending >= kChunk) stop = buf.size();
    c.offset = from + static_cast<off_t>(stop);
    return note + OpenConnectMgr::escapedForLog(std::string_view(buf).substr(begin, stop - begin));
}

} // namespace

std::counting_semaphore<>& OpenConnectMgr::_semaphore() {
    static std::counting_semaphore<> semaphore(0);
    return semaphore;
}

std::string OpenConnectMgr::folderPath() {
    return Constants::tvrootPath() + "/openconnect";
}

// ---- Pure pieces -----------------------------------------------------------------------------

OpenConnectMgr::StatusVerdict
OpenConnectMgr::establishVerdict(std::string_view text, const std::vector<std::string>& tunnelAddresses) {
    std::vector<std::string_view> configured;
    bool up = false;
    forEachLine(text, [&](std::string_view line) {
        for (std::string_view prefix : kUpLines)
            if (startsWith(line, prefix)) {
                const std::string_view rest = line.substr(prefix.size());
                configured.push_back(rest.substr(0, rest.find_first_of(", ")));
            }
        if (startsWith(line, kGatewayLine)) {
            const std::string_view address = line.substr(kGatewayLine.size());
            const bool onTunnel =
                std::find(tunnelAddresses.begin(), tunnelAddresses.end(), address) != tunnelAddresses.end();
            if (onTunnel && std::find(configured.begin(), configured.end(), address) != configured.end())
                up = true;
        }
    });
    if (up) return StatusVerdict::Connected;
    bool failed = sessionLost(text);
    forEachLine(text, [&](std::string_view line) { failed = failed || startsWith(line, kFailedToOpen); });
    return failed ? StatusVerdict::Failed : StatusVerdict::NotYet;
}

bool OpenConnectMgr::sessionLost(std::string_view text) {
    bool lost = false;
    forEachLine(text, [&](std::string_view line) {
        lost = lost || startsWith(line, kSslReadError);
        for (const char* marker : kSessionEndMarkers)
            lost = lost || startsWith(line, marker);
    });
    return lost;
}

std::vector<std::string> OpenConnectMgr::tunnelAddresses() {
    std::vector<std::string> found;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return found;
    for (const ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
        if (!(a->ifa_flags & IFF_UP) || !(a->ifa_flags & IFF_POINTOPOINT)) continue;
        char text[INET_ADDRSTRLEN] = {};
        if (::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr, text,
                        sizeof text))
            found.emplace_back(text);
    }
    ::freeifaddrs(list);
    return found;
}

std::optional<std::string> OpenConnectMgr::killCommandFor(const std::string& childpidPath, const char* signal) {
    std::string quoted = "\"";
    for (char c : childpidPath) {
        if (c == '\n' || c == '\r' || c == '\0') return std::nullopt;
        if (c == '"' || c == '$' || c == '`' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    return std::string("kill -") + signal + " $(cat " + quoted + ")";
}

std::string OpenConnectMgr::escapedForLog(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (const size_t len = printableSequence(text, i)) {
            out.append(text.substr(i, len));
            i += len;
            continue;
        }
        const auto c = static_cast<unsigned char>(text[i++]);
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
    return out;
}

std::optional<std::string> OpenConnectMgr::readFileTail(const std::string& path, size_t maxBytes,
                                                        bool* missing) {
    if (missing) *missing = false;
    // Non-blocking open: a FIFO planted in place of the file must not hang the reader.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (missing) *missing = (errno == ENOENT);
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    const off_t size = st.st_size;
    const off_t from = size > static_cast<off_t>(maxBytes) ? size - static_cast<off_t>(maxBytes) : 0;
    std::string text;
    text.resize(static_cast<size_t>(size - from));
    size_t got = 0;
    bool failed = false;
    for (int rounds = 0; got < text.size() && rounds < 1024; ++rounds) {
        const ssize_t r = ::pread(fd, text.data() + got, text.size() - got, from + static_cast<off_t>(got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            failed = true;
            break;
        }
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    ::close(fd);
    if (failed) return std::nullopt;
    text.resize(got);
    // A line cut at the front is not a line openconnect printed.
    if (from > 0) {
        const size_t nl = text.find('\n');
        text.erase(0, nl == std::string::npos ? text.size() : nl + 1);
    }
    return text;
}

bool OpenConnectMgr::writeSecretFile(const std::string& path, std::string_view text, std::string* error) {
    auto fail = [&](const char* what) {
        if (error) *error = std::string(what) + ": " + std::strerror(errno);
        return false;
    };
    const std::string tmp = path + ".XXXXXX";
    std::string name = tmp;
    // mkstemp creates the file with mode 0600.
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return fail("cannot create temporary file");
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t w = ::write(fd, text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            const int saved = errno;
            ::close(fd);
            ::unlink(name.c_str());
            errno = saved;
            return fail("cannot write");
        }
        done += static_cast<size_t>(w);
    }
    if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0 || ::fsync(fd) != 0) {
        const int saved = errno;
        ::close(fd);
        ::unlink(name.c_str());
        errno = saved;
        return fail("cannot finish");
    }
    if (::close(fd) != 0) {
        const int saved = errno;
        ::unlink(name.c_str());
        errno = saved;
        return fail("cannot close");
    }
    if (::rename(name.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(name.c_str());
        errno = saved;
        return fail("cannot rename");
    }
    return true;
}

// ---- Start and the worker ---------------------------------------------------------------------

void OpenConnectMgr::Start() {
    if (_OnSarting.exchange(true)) return;
    // A stop still tearing down the previous attempt would reset the new attempt's display.
    if (_OnStoping.load()) {
        _OnSarting = false;
        return;
    }
    nslog("_OnSarting true");
    _tunnelWasUp = false;
    _reconnecting = false;

    // The credentials are taken here, on the caller's thread: the worker never waits on the GUI
    // thread, which may itself be waiting for the worker in StopFunc.
    Attempt attempt;
    if (ConnectionHost* app = connectionHost()) {
        attempt.username = app->authUsername.toStdString();
        attempt.password = app->authPassword.toStdString();
        if (dispatch::isMainThread())
            app->updateStatus(QString::fromUtf8(kStatusConnecting));
        else
            showStatus(kStatusConnecting);
    }
    _pendingWorkerSignals.fetch_add(1);
    dispatch::globalAsync([attempt] { worker(attempt); });
}

void OpenConnectMgr::worker(const Attempt& attempt) {
    runAttempt(attempt);
    finishWorker();
}

void OpenConnectMgr::runAttempt(const Attempt& attempt) {
    platform::Defaults& defaults = platform::Defaults::standard();
    const std::optional<std::string> regionNo = defaults.stringForKey("regionNumber");
    if (!regionNo) {
        nslog("regionNumber is not set: nothing started");
        return;
    }
    const std::string host = getOCServerAddr(*regionNo);
    if (!protocol::isOpenConnectHost(host) && !protocol::isIpLiteral(host)) {
        nslog("no usable OpenConnect server for region " + *regionNo + ": nothing started");
        return;
    }
    const std::string R = Constants::tvrootPath();
    const std::string D = folderPath();

    // The server proves who it is before anything of the user's is written or sent.
    const ServerCertificate presented =
        certificateQueryHook ? certificateQueryHook(host)
                             : ServerCertificate::query(host, protocol::kOpenConnectPort, probeTimeLimit);
    bool firstUse = false;
    if (!acceptServer(host, presented, &firstUse)) return;
    const std::optional<std::string> message =
        protocol::openConnectStartMessage(R, attempt.username, host, presented.pin);
    if (!message) {
        nslog("working folder, user name, server or pin cannot be sent to the helper: nothing started");
        return;
    }
    // A stop during the query: start nothing that no one would stop.
    if (_OnStoping.load()) return;

    std::string error;
    if (!writeSecretFile(D + "/password.txt", attempt.password, &error)) {
        nslog("Unable to create file " + error);
        // A password file left from an earlier account must not be sent for this one.
        ::unlink((D + "/password.txt").c_str());
    }

    // Files of an earlier attempt would be read as this attempt's if the helper never runs.
    ::unlink((D + "/status.log").c_str());
    ::unlink((D + "/childpid").c_str());
    forgetStatusCursor();
    std::string helperReply;
    _helper_daemon_socket = requestDaemonBySocket(message->data(), message->size(), &helperReply);
    if (helperReply != "1") {
        // Without its "1" the helper started nothing: no status.log will ever come.
        nslog("the helper started no openconnect: attempt ended");
        if (const int fd = _helper_daemon_socket.exchange(-1); fd >= 0) socket_close(fd);
        return;
    }
    nslog("onConnectionButton 2");
    sleepSeconds(1);
    nslog("onConnectionButton 3");

    int r = 0;
    do {
        if (_OnStoping.load()) return;
        sleepSeconds(1);
        r = OnConnectStatus();
    } while (r == 0);
    // 接続中 was shown: this is the first successful connection to a server no CA vouches for.
    if (r == 1 && firstUse) {
        if (KnownServers::record(host, presented.pin))
            nslog("OpenConnect server " + host + ": pin-sha256:" + presented.pin + " recorded");
        else
            nslog("OpenConnect server " + host + ": pin not recorded: " + KnownServers::path() +
                  " not written");
    }
    if (r != 1 || _OnStoping.load()) return;

    _tunnelWasUp = true;
    for (int n = 0;;) {
        sleepSeconds(1);
        if (++n == 5) {
            if (OnConnectStatus2() != 1) return;
            n = 0;
        }
        if (_OnStoping.load()) return;
    }
}

bool OpenConnectMgr::acceptServer(const std::string& host, const ServerCertificate& presented,
                                  bool* firstUse) {
    *firstUse = false;
    if (!presented.reached || !protocol::isCertPin(presented.pin)) {
        nslog("OpenConnect server " + host + ": no certificate received (" + presented.error +
              "): nothing started");
        return false;
    }
    if (presented.caValid) {
        nslog("OpenConnect server " + host + ": certificate verified, pin-sha256:" + presented.pin);
        return true;
    }
    std::string recorded;
    switch (KnownServers::lookup(host, recorded)) {
    case KnownServers::Lookup::Known:
        if (recorded == presented.pin) return true;
        nslog("OpenConnect server " + host + ": pin-sha256:" + presented.pin +
              " presented, pin-sha256:" + recorded + " recorded: refused before any credential was sent");
        return false;
    case KnownServers::Lookup::Unknown:
        nslog("OpenConnect server " + host + ": certificate not verified (" + presented.error +
              "); pin-sha256:" + presented.pin + " is recorded once connected");
        *firstUse = true;
        return true;
    case KnownServers::Lookup::Unreadable:
        break;
    }
    nslog("OpenConnect server " + host + ": " + KnownServers::path() + " unreadable: nothing started");
    return false;
}

void OpenConnectMgr::finishWorker() {
    // Read before signalling: once signalled, a StopFunc may clear the flag.
    const bool stopping = _OnStoping.load();
    // A stop that ran before the channel was stored could not hang up openconnect.
    if (stopping) killOpenConnect();
    _reconnecting = false;
    _semaphore().release();
    _OnSarting = false;
    nslog("_OnSarting false");

    if (!stopping && !_OnStoping.exchange(true)) {
        nslog("_OnStoping true");
        _IsStopManual = false;
        showStatus(kStatusConnecting);
        StopFunc();
    }

    // A working tunnel lost on its own (no stop asked for) may be reconnected instead.
    const bool lost = !stopping && _tunnelWasUp.load();
    const bool manual = _IsStopManual.load();
    dispatch::mainAsync([lost, manual] {
        if (lost && tunnelLostHook && tunnelLostHook()) return;
        if (isProtcolAuto()) {
            if (nextProtocolHook)
                nextProtocolHook();
            else
                goNext();
        } else if (!manual) {
            showAlert();
        }
    });
}

// ---- Status polls ---------------------------------------------------------------------------

int OpenConnectMgr::OnConnectStatus() {
    nslog("OpenConnectStatusTimerFunc");
    const std::string S = folderPath() + "/status.log";
    nslog("OpenConnectStatusTimerFunc 1");

    bool missing = false;
    const std::optional<std::string> text = readFileTail(S, kStatusReadLimit, &missing);
    if (missing) {
        nslog("OpenConnectStatusTimerFunc 2");
        const int count = ++_opcon_estb_check_count;
        if (count >= kMissingStatusPollLimit) {
            // The helper never started openconnect; waiting longer cannot help.
            _opcon_estb_check_count = 0;
            nslog("OpenConnectStatusTimerFunc 7");
            return -1;
        }
        nslog("OpenConnectStatusTimerFunc end");
        return 0;
    }
    nslog("OpenConnectStatusTimerFunc 3");
    if (!text) {
        nslog("OpenConnectStatusTimerFunc 8");
        nslog("status file " + S + ": " + std::strerror(errno));
        return -1;
    }
    nslog("OpenConnectStatusTimerFunc 4");
    if (std::string lines = newStatusLines(S); !lines.empty()) {
        if (lines.back() == '\n') lines.pop_back();
        nslog(lines);
    }
    nslog("OpenConnectStatusTimerFunc 41");

    const StatusVerdict verdict =
        establishVerdict(*text, tunnelAddressesHook ? tunnelAddressesHook() : tunnelAddresses());
    if (verdict == StatusVerdict::Connected) {
        nslog("OpenConnectStatusTimerFunc 42");
        onDelegate([](ConnectionHost& app) {
            app.updateStatus(QString::fromUtf8(kStatusConnected));
            app.startConnectedTimer();
            GetAndSetIPAddr();
        });
        platform::Defaults::standard().setString("SuccessProtcol", "OpenConnect");
        Constants::autoConnectCount = -1;
        _opcon_estb_check_count = 0;
        return 1;
    }

    nslog("OpenConnectStatusTimerFunc 5");
    bool timedOut = false;
    if (++_opcon_estb_check_count >= kEstablishPollLimit) {
        _opcon_estb_check_count = 0;
        timedOut = true;
    }
    if (verdict == StatusVerdict::Failed) {
        nslog("OpenConnectStatusTimerFunc 6");
        _opcon_estb_check_count = 0;
        nslog("OpenConnectStatusTimerFunc 7");
        return -1;
    }
    if (!timedOut) {
        nslog("OpenConnectStatusTimerFunc end");
        return 0;
    }
    nslog("OpenConnectStatusTimerFunc 7");
    return -1;
}

int OpenConnectMgr::OnConnectStatus2() {
    // The helper ends the tunnel channel once openconnect is gone, whatever status.log says.
    if (channels::peerClosed(_helper_daemon_socket.load())) {
        nslog("tunnel channel closed.");
        return -1;
    }
    const std::string S = folderPath() + "/status.log";
    bool missing = false;
    const std::optional<std::string> text = readFileTail(S, kStatusReadLimit, &missing);
    if (missing) {
        nslog("status file not exist.");
        return -1;
    }
    if (!text) {
        nslog("status file exception.");
        return -1;
    }
    const std::string lines = newStatusLines(S);
    std::fwrite(lines.data(), 1, lines.size(), stdout);
    std::fflush(stdout);
    if (_reconnecting.load()) return reconnectStatus(lines);
    if (sessionLost(*text)) {
        nslog("SSL read error.");
        return -1;
    }
    return 1;
}

// While openconnect reconnects, its read errors and dead-peer lines are the reconnect's own: only
// the CSTP channel coming up again ends the wait, and the time limit the reconnect.
int OpenConnectMgr::reconnectStatus(std::string_view newLines) {
    bool up = false;
    forEachLine(newLines, [&](std::string_view line) { up = up || startsWith(line, kCstpUpLine); });
    if (up) {
        nslog("reconnected after a network change");
        _reconnecting = false;
        onDelegate([](ConnectionHost& app) {
            app.updateStatus(QString::fromUtf8(kStatusConnected));
            app.startConnectedTimer();
            GetAndSetIPAddr();
        });
        return 1;
    }
    if (steadyNow() < _reconnectDeadline.load()) return 1;
    nslog("reconnect given up");
    return -1;
}

bool OpenConnectMgr::reconnect() {
    if (!_tunnelWasUp.load() || !_OnSarting.load() || _OnStoping.load()) return false;
    const int fd = _helper_daemon_socket.load();
    const auto command = killCommandFor(folderPath() + "/childpid", "USR2");
    if (fd < 1 || !command) return false;
    nslog("reconnect after a network change");
    _reconnectDeadline = steadyNow() + std::chrono::nanoseconds(kReconnectLimit).count();
    if (!_reconnecting.exchange(true)) {
        onDelegate([](ConnectionHost& app) {
            app.stopConnectedTimer();
            app.updateStatus(QString::fromUtf8(kStatusConnecting));
        });
    }
    SendCommand(fd, command->c_str());
    return true;
}

// ---- Stop ---------------------------------------------------------------------------------------

void OpenConnectMgr::Stop(bool isManual) {
    if (_OnStoping.exchange(true)) return;
    nslog("_OnStoping true");
    _IsStopManual = isManual;
    showStatus(kStatusConnecting);
    if (!isManual)
        StopFunc();
    else
        dispatch::globalAsync([] { StopFunc(); });
}

void OpenConnectMgr::killOpenConnect() {
    const int fd = _helper_daemon_socket.exchange(-1);
    if (fd < 1) return;
    if (const auto command = killCommandFor(folderPath() + "/childpid"))
        SendCommand(fd, command->c_str());
    else
        nslog("childpid path cannot be put on a command line: openconnect not stopped");
    socket_close(fd);
}

void OpenConnectMgr::StopFunc() {
    killOpenConnect();

    // Wait only for a worker whose end signal is still owed.
    int owed = _pendingWorkerSignals.load();
    while (owed > 0 && !_pendingWorkerSignals.compare_exchange_weak(owed, owed - 1)) {
    }
    if (owed > 0) _semaphore().acquire();

    _opcon_estb_check_count = 0;
    onDelegate([](ConnectionHost& app) {
        app.stopConnectedTimer();
        app.updateStatus(QString::fromUtf8(kStatusDisconnected));
        app.ipaddrText->setText(QString());
        app.connectedTimeText->setText(QString());
    });
    _OnStoping = false;
}

void OpenConnectMgr::showAlert() {
    runAlert("タブロVPN",
             "VPN接続に失敗しました。プロトコルを変更して再接続してください。\n"
             "突然接続できなくなった場合は、設定から「設定を初期化」ボタンをクリックしてください。",
             {"OK"});
}
