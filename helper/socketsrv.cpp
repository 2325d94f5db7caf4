#include "helper/socketsrv.h"

#include "helper/HelperLog.h"
#include "helper/HelperMessage.h"
#include "helper/InstanceLimits.h"
#include "helper/LeakBlock.h"
#include "helper/NetworkPreferencesEntry.h"
#include "helper/OvpnConfigFilter.h"
#include "helper/PeerCheck.h"
#include "helper/ProgramCopies.h"
#include "helper/SecKeyChainEntry.h"
#include "helper/ShellQuote.h"
#include "helper/SocketActivation.h"
#include "helper/SystemServiceProfile.h"
#include "helper/TunnelChannel.h"
#include "helper/TunnelRecord.h"
#include "helper/UniqueFd.h"
#include "helper/WorkingFolder.h"
#include "platform/Log.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using helper::hlog;
using helper::UniqueFd;

namespace {

using namespace std::chrono_literals;

constexpr int kListenBacklog = 5;
// A peer says what it wants at once (the application sends its next message as soon as the last
// was answered): one that says nothing for this long gives its instance back.
constexpr timespec kMessageWait{5, 0};
constexpr auto kTerminateGrace = 5s;
constexpr size_t kMaxConfigBytes = 1 << 20;
constexpr size_t kMaxConfigFileBytes = 256 << 10;
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

timespec remainingUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::max(std::chrono::nanoseconds(0), deadline - std::chrono::steady_clock::now());
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(left);
    return timespec{static_cast<time_t>(secs.count()), static_cast<long>((left - secs).count())};
}

// Waits until fd is readable (or has a connection to accept); false on a stop request, or when
// limit (if any) passes first.
bool waitReadable(int fd, const timespec* limit = nullptr) {
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

// The receive buffer: one byte more than a receive may fill, so the text is always terminated.
struct Message {
    char text[helper::kMessageBufferSize + 1];
    ssize_t length = -1;
    bool timedOut = false;
    bool tooLong() const { return length >= static_cast<ssize_t>(helper::kMessageBufferSize); }
};

// One message; with a limit, a peer that sends nothing within it counts as a failed receive.
void receive(int fd, Message& m, const timespec* limit = nullptr) {
    std::memset(m.text, 0, sizeof m.text);
    m.length = -1;
    m.timedOut = false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (!waitReadable(fd, limit)) {
            m.timedOut = limit != nullptr && !g_stopRequested;
            break;
        }
        m.length = ::recv(fd, m.text, helper::kMessageBufferSize, 0);
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

// Waits until the client sends a line or closes the channel. False on a stop request, or once
// the tunnel program has been gone for the grace period: the channel then ends, which tells the
// application that its tunnel is over.
bool waitForClient(int conn, const helper::TunnelChannel& channel) {
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

// The lines of an open tunnel channel, until the client closes its end, sends a line that is not
// one of the channel's (TunnelChannel runs nothing for it), or the tunnel program is gone.
void runTunnelChannel(int conn, helper::TunnelChannel& channel) {
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

// The fields of a start command, checked before anything runs: a refusal is logged once and
// answered "0".
bool startFieldsAccepted(int conn, const std::vector<std::string>& fields) {
    std::string refusal;
    if (helper::checkCommandFields(fields, refusal)) return true;
    hlog("%s; nothing started.", refusal.c_str());
    reply(conn, "0");
    return false;
}

void handleOvpnStart(int conn, const std::vector<std::string>& fields, uid_t peer) {
    hlog("CMD_OVPN_START command start.");
    std::string root;
    if (!startFieldsAccepted(conn, fields) || !helper::parseOvpnStart(fields, root)) return;
    helper::cleanUpVanishedTunnels();
    helper::removeStaleLeakBlock();
    UniqueFd log;
    std::unique_ptr<platform::Task> task = execOVPN(root, peer, &log);
    if (!task) {
        hlog("CMD_OVPN_START command failed.");
        reply(conn, "0");
        return;
    }
    hlog("CMD_OVPN_START command success");
    helper::TunnelChannel channel(helper::TunnelKind::OpenVpn, root, peer);
    channel.setProgram(task.get());
    channel.setProgramLog(std::move(log));
    reply(conn, "1");
    runTunnelChannel(conn, channel);
    hlog("task terminate.");
    stopTask(*task);
    channel.end();
    hlog("server: close accept socket");
}

void handleOpenConnectStart(int conn, const std::vector<std::string>& fields, uid_t peer) {
    hlog("CMD_OPENCONNECT_START command start.");
    helper::OpenConnectStart req;
    if (!startFieldsAccepted(conn, fields) || !helper::parseOpenConnectStart(fields, req)) return;
    hlog("bundlePath:%s", helper::escapedForLog(req.rootPath).c_str());
    hlog("username:%s", helper::escapedForLog(req.user).c_str());
    hlog("hostname:%s", helper::escapedForLog(req.url).c_str());
    hlog("cert:%s", helper::escapedForLog(req.pin).c_str());
    helper::cleanUpVanishedTunnels();
    helper::removeStaleLeakBlock();
    std::unique_ptr<platform::Task> task = execOPENCONNECT(req.rootPath, req.user, req.url, req.pin, peer);
    if (!task) {
        hlog("CMD_OPENCONNECT_START command failed.");
        reply(conn, "0");
        return;
    }
    hlog("CMD_OPENCONNECT_STARTCMD_OPENCONNECT_START command success");
    helper::TunnelChannel channel(helper::TunnelKind::OpenConnect, req.rootPath, peer);
    channel.setProgram(task.get());
    reply(conn, "1");
    runTunnelChannel(conn, channel);
    // openconnect does not outlive its channel: after the stop line it is on its way out anyway,
    // and a channel that ended without one belongs to an application that vanished.
    hlog("task terminate.");
    channel.end();
}

void handleSetKey(int conn, const std::vector<std::string>& fields, uid_t peer) {
    helper::SetKeyRequest r;
    std::string problem;
    if (helper::parseSetKey(fields, r, problem) != helper::SetKeyParse::Ok) {
        hlog("SET_KEY refused: %s\n", problem.c_str());
        reply(conn, "0");
        return;
    }
    using helper::escapedForLog;
    hlog("11111\n");
    hlog("222222\n");
    hlog("33333\n");
    hlog("strPPPCCPEnabled128:%s\n", escapedForLog(r.ccp128Text).c_str());
    hlog("appPath:%s\nserviceName:%s\nserviceId:%s\nserverAddr:%s\naccountName:%s\npassword:%s\n"
         "L2TPpassword:%s\nIsL2tp:%s\nDNSPrim:%s\nDNSSecond:%s\nPPPCCPEnabled40:%s\nPPPCCPEnabled128:%s",
         escapedForLog(r.appPath).c_str(), helper::kServiceName, escapedForLog(r.serviceId).c_str(),
         escapedForLog(r.serverAddr).c_str(), escapedForLog(r.accountName).c_str(), platform::kMasked,
         platform::kMasked, escapedForLog(r.isL2tpText).c_str(), escapedForLog(r.dnsPrim).c_str(),
         escapedForLog(r.dnsSecond).c_str(), escapedForLog(r.ccp40Text).c_str(),
         escapedForLog(r.ccp128Text).c_str());

    hlog("writePreferences begin.\n");
    std::string serviceId;
    bool ok = writePreferences(r.serverAddr.c_str(), r.accountName.c_str(), r.isL2tp, r.dnsPrim.c_str(),
                               r.dnsSecond.c_str(), r.ccp40, r.ccp128, serviceId);
    hlog("writePreferences end.\n");
    if (!ok) {
        hlog("writePreferences error\n");
        reply(conn, "0");
        return;
    }
    hlog("writePreferences success\n");
    hlog("serviceIdUTF8 from Pref:%s\n", serviceId.c_str());
    if (!writeKeyChaineInfo(r.appPath.c_str(), helper::kServiceName, serviceId.c_str(), r.accountName.c_str(),
                            r.password.c_str(), r.l2tpPassword.c_str(), r.isL2tp, peer)) {
        hlog("writeKeyChaineInfo error\n");
        reply(conn, "0");
        return;
    }
    // A service NetworkManager does not hold cannot be started: that is no success. The profile
    // carries this caller's own secrets.
    if (realiseService(serviceId, peer) != RealiseResult::Realised) {
        hlog("SET_KEY service not realised\n");
        reply(conn, "0");
        return;
    }
    hlog("SET_KEY command success\n");
    reply(conn, "1");
}

// GET_PASSWD_SZ / GET_USER_SZ: the attribute's bytes, or nothing at all.
void handleKeychainRead(int conn, const std::string& service, const char* attribute, uid_t peer) {
    std::optional<KeychainItem> item = readKeyChaineInfo(service.c_str(), peer);
    if (!item) return;
    auto it = item->find(attribute);
    if (it == item->end()) return;
    // Longer than a client's 512-byte read: a cut value would be a wrong value, so none is sent.
    if (it->second.size() >= helper::kMessageBufferSize) {
        hlog("keychain value too long, not sent\n");
        return;
    }
    ::send(conn, it->second.data(), it->second.size(), MSG_NOSIGNAL);
}

// The profile follows a keychain change of its secrets: a blanked or deleted password no longer
// connects with the one NetworkManager was given before.
void followKeychainChange(const std::string& service, uid_t peer) {
    const std::string id = helper::serviceIdOfKeychainService(service);
    const RealiseResult result = realiseService(id, peer);
    if (result == RealiseResult::Failed) hlog("profile: secrets of %s not brought in step\n", id.c_str());
}

// The designed answer of a sub-command that is not carried out.
const char* failureReplyOf(helper::SubCommand sub) {
    switch (sub) {
    case helper::SubCommand::RemovePasswd:
    case helper::SubCommand::DeleteKey:
    case helper::SubCommand::SetKey:
        return "0";
    default:
        return nullptr;
    }
}

void dispatchSubCommand(int conn, const std::vector<std::string>& fields, uid_t peer) {
    const helper::SubCommand sub = helper::subCommandOf(fields);
    std::string refusal;
    if (!helper::checkSubCommandFields(fields, refusal)) {
        hlog("%s\n", refusal.c_str());
        if (const char* answer = failureReplyOf(sub)) reply(conn, answer);
        return;
    }
    const std::string service = fields.size() >= 2 ? fields[1] : std::string();
    // The profile sub-commands name a service of the helper's own making, or they do nothing.
    const bool namesService = sub == helper::SubCommand::RemovePasswd ||
                              sub == helper::SubCommand::DeleteKey ||
                              sub == helper::SubCommand::GetPasswdSz ||
                              sub == helper::SubCommand::GetUserSz || sub == helper::SubCommand::RemovePref;
    if (namesService && !isProvisionedService(helper::serviceIdOfKeychainService(service))) {
        hlog("%s refused: service %s was not provisioned by the helper\n", fields[0].c_str(),
             service.c_str());
        if (const char* answer = failureReplyOf(sub)) reply(conn, answer);
        return;
    }
    switch (sub) {
    case helper::SubCommand::RemovePasswd:
        if (removePasswd(helper::kServiceName, service.c_str(), peer)) {
            hlog("SET_KEY command success\n");
            followKeychainChange(service, peer);
            reply(conn, "1");
        } else {
            hlog("removePasswd error\n");
            reply(conn, "0");
        }
        break;
    case helper::SubCommand::GetVer:
        reply(conn, helper::kVersionReply);
        break;
    case helper::SubCommand::DeleteKey:
        hlog("DELETE_KEY start\n");
        if (removeKeyChainInfo(service.c_str(), peer)) followKeychainChange(service, peer);
        hlog("DELETE_KEY end\n");
        reply(conn, "0");
        break;
    case helper::SubCommand::GetPasswdSz:
        handleKeychainRead(conn, service, "v_Data", peer);
        break;
    case helper::SubCommand::GetUserSz:
        handleKeychainRead(conn, service, "acct", peer);
        break;
    case helper::SubCommand::SetKey:
        handleSetKey(conn, fields, peer);
        break;
    case helper::SubCommand::RemovePref:
        // Initialize's removal: the application does not wait for an answer, and none is sent.
        hlog("REMOVE_PREF start\n");
        removeServiceEverywhere(service);
        hlog("REMOVE_PREF end\n");
        break;
    case helper::SubCommand::Unknown:
        break;
    }
}

// One sub-command per connection. After it the connection is closed, so the next read of the
// loop fails; the log shows that as it always has.
void handleScNetwork(UniqueFd& conn, uid_t peer) {
    hlog("CMD_SCNETWORK command start.");
    reply(conn.get(), "1");
    Message m;
    for (int round = 0; round < 2; ++round) {
        hlog("command recv wait...");
        if (conn.valid()) receive(conn.get(), m, &kMessageWait);
        if (!conn.valid() || m.length < 0) {
            hlog("server: read error");
            return;
        }
        hlog("read data [%d]\n", static_cast<int>(m.length));
        if (helper::isCloseRequest(m.text)) return;
        if (m.tooLong()) {
            hlog("server: message too long, ignored.\n");
            return;
        }
        hlog("buf:%s\n", helper::maskedForLog(m.text).c_str());
        std::vector<std::string> fields = helper::splitFields(m.text);
        hlog("cmdUTF8;%s\n", fields.size() > 0 ? helper::escapedForLog(fields[0]).c_str() : "");
        hlog("serviceIdUTF8;%s\n", fields.size() > 1 ? helper::escapedForLog(fields[1]).c_str() : "");
        dispatchSubCommand(conn.get(), fields, peer);
        hlog("server: close accept socket");
        conn.reset();
    }
}

} // namespace

std::string helperSocketPath() {
    const char* env = std::getenv("TVAPPHELPER_SOCKET");
    return (env && env[0]) ? env : kHelperSocketPath;
}

std::string openConnectCommandLine(const std::string& user, const std::string& url, const std::string& pin) {
    using helper::shellQuoteIfNeeded;
    // No --dump-http-traffic: it writes the password into status.log.
    return "./openconnect -u " + shellQuoteIfNeeded(user) +
           " --passwd-on-stdin --no-dtls --servercert pin-sha256:" + shellQuoteIfNeeded(pin) + " " +
           shellQuoteIfNeeded(url) + " < password.txt &> status.log & echo $! > childpid";
}

namespace {

// This program's path, also after an upgrade replaced the file (then the new one).
std::string ownProgramPath() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    std::string path(buf, static_cast<size_t>(n));
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() && path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0)
        path.resize(path.size() - kDeleted.size());
    return path;
}

// config.ovpn as it passed the directive check, sealed in memory: what openvpn reads is exactly
// what was checked, whatever happens to the file in the working folder afterwards.
UniqueFd checkedConfig(const helper::WorkingFolder& folder) {
    std::string reason, text;
    UniqueFd file = folder.openOwnedForReading("config.ovpn", reason);
    if (!file.valid()) {
        hlog("config.ovpn refused: %s", reason.c_str());
        return UniqueFd();
    }
    if (!helper::readAll(file.get(), kMaxConfigBytes, text)) {
        hlog("config.ovpn refused: unreadable or larger than 1 MiB");
        return UniqueFd();
    }
    // Key, certificate and credential files are read here, as the user's own, and go inline: root's
    // openvpn opens nothing in the user's folder.
    const auto readFile = [&folder](const std::string& path, std::string& content, std::string& why) {
        return folder.readOwnedFile(path, kMaxConfigFileBytes, content, why);
    };
    std::string sealed;
    if (!helper::sealOvpnConfigText(text, readFile, sealed, reason)) {
        hlog("config.ovpn refused: %s", helper::escapedForLog(reason).c_str());
        return UniqueFd();
    }
    text = std::move(sealed);
    UniqueFd copy(::memfd_create("config.ovpn", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!copy.valid() || !helper::writeAll(copy.get(), text) ||
        ::fcntl(copy.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0 ||
        ::lseek(copy.get(), 0, SEEK_SET) != 0) {
        hlog("config.ovpn: no sealed copy: %s", std::strerror(errno));
        return UniqueFd();
    }
    return copy;
}

bool openFolder(helper::WorkingFolder& folder, const std::string& dir, uid_t owner) {
    std::string reason;
    if (folder.open(dir, owner, reason)) return true;
    hlog("working folder refused: %s: %s", dir.c_str(), reason.c_str());
    return false;
}

} // namespace

std::unique_ptr<platform::Task> execOVPN(const std::string& rootPath, uid_t folderOwner, UniqueFd* logReader) {
    const std::string exe = rootPath + "/OpenVPN/openvpn";
    const std::string dir = rootPath + "/OpenVPN";
    hlog("executablePath:%s", exe.c_str());
    hlog("currDirPath:%s", dir.c_str());

    helper::WorkingFolder folder;
    if (!openFolder(folder, dir, folderOwner)) return nullptr;
    const std::string program = helper::rootOnlyCopy(helper::kOpenVpnCopy);
    if (program.empty()) return nullptr;
    UniqueFd config = checkedConfig(folder);
    if (!config.valid()) return nullptr;

    // The log is opened here, as a plain file of the folder, and handed to openvpn: openvpn itself
    // would follow a link planted under the name. Readable for the application, as designed.
    std::string reason;
    UniqueFd log = folder.openForWriting("ovpn.log", 0600, false, reason);
    if (!log.valid()) {
        hlog("ovpn.log refused: %s", reason.c_str());
        return nullptr;
    }
    char cmd[256];
    std::snprintf(cmd, sizeof cmd, "chmod 755 %s", helper::doubleQuotedPath(dir + "/ovpn.log").c_str());
    hlog("chg mode log:%s", cmd);
    ::fchmod(log.get(), 0755);
    if (logReader) {
        // The same file, whatever becomes of its name in the folder.
        const std::string self = "/proc/self/fd/" + std::to_string(log.get());
        logReader->reset(::open(self.c_str(), O_RDONLY | O_CLOEXEC));
    }

    auto task = std::make_unique<platform::Task>();
    task->launchPath = program;
    task->currentDirectory = folder.childPath();
    task->arguments = {"--config",
                       "./config.ovpn",
                       "--management",
                       "127.0.0.1",
                       "17505",
                       "--management-hold",
                       "--management-query-passwords",
                       "--auth-retry",
                       "interact",
                       "--log",
                       "./ovpn.log"};
    // The launcher gives openvpn these two in place of ./config.ovpn and ./ovpn.log.
    task->passedDescriptors = {{config.get(), 3}, {log.get(), 4}};
    task->extraEnvironment = {"TAVROVPN_CONFIG_FD=3", "TAVROVPN_LOG_FD=4"};
    hlog("running the helper's own copy: %s", program.c_str());
    if (!task->launch()) {
        hlog("task launch error: %s", std::strerror(errno));
        return nullptr;
    }
    return task;
}

std::unique_ptr<platform::Task> execOPENCONNECT(const std::string& rootPath, const std::string& user,
                                                const std::string& url, const std::string& pin,
                                                uid_t folderOwner) {
    const std::string cmd = openConnectCommandLine(user, url, pin);
    const std::string dir = rootPath + "/openconnect";
    hlog("executableCmd:%s", cmd.c_str());
    hlog("currDirPath:%s", dir.c_str());

    helper::WorkingFolder folder;
    if (!openFolder(folder, dir, folderOwner)) return nullptr;
    const std::string program = helper::rootOnlyCopy(helper::kOpenConnectCopy);
    // The launcher runs the routing script beside it as root too.
    if (program.empty() || helper::rootOnlyCopy(helper::kRoutingScriptCopy).empty()) return nullptr;

    // The line's redirections, done here without following links: "< password.txt" reads only the
    // user's own plain file, "&> status.log" and "> childpid" write only fresh files.
    std::string reason;
    UniqueFd password = folder.openOwnedForReading("password.txt", reason);
    if (!password.valid()) {
        hlog("password.txt refused: %s", reason.c_str());
        return nullptr;
    }
    folder.remove("childpid");
    UniqueFd status = folder.createFresh("status.log", 0644, reason);
    if (!status.valid()) {
        hlog("status.log refused: %s", reason.c_str());
        return nullptr;
    }

    auto task = std::make_unique<platform::Task>();
    task->launchPath = program;
    task->currentDirectory = folder.childPath();
    task->arguments = {"-u", user, "--passwd-on-stdin", "--no-dtls", "--servercert", "pin-sha256:" + pin,
                       url};
    task->passedDescriptors = {{password.get(), 0}, {status.get(), 1}, {status.get(), 2}};
    // Its routing script runs on after an openconnect that was killed mid-step; the group finds it.
    task->ownProcessGroup = true;
    // The routing script switches the resolver through the helper's own set-dns.sh, whose record
    // lets the resolver come back whatever becomes of openconnect.
    const std::string setDns = helper::rootOnlyCopy(helper::kSetDnsCopy);
    if (!setDns.empty()) task->extraEnvironment = {"TAVROVPN_SET_DNS=" + setDns};
    // Its connect step has this instance put the leak block in force (tvapphelper --leak-block).
    if (const std::string self = ownProgramPath(); !self.empty()) {
        const helper::LeakOwner owner = helper::leakOwnerOfThisHelper();
        task->extraEnvironment.push_back("TAVROVPN_HELPER=" + self);
        task->extraEnvironment.push_back("TAVROVPN_TUNNEL_OWNER=" + std::to_string(owner.pid) + " " +
                                         std::to_string(owner.start));
    }
    hlog("running the helper's own copy: %s", program.c_str());
    hlog("task launch");
    if (!task->launch()) {
        hlog("task launch error: %s", std::strerror(errno));
        return nullptr;
    }
    UniqueFd childpid = folder.createFresh("childpid", 0644, reason);
    const std::string pidText = std::to_string(task->processIdentifier()) + "\n";
    if (!childpid.valid() || !helper::writeAll(childpid.get(), pidText))
        hlog("childpid refused: %s", childpid.valid() ? std::strerror(errno) : reason.c_str());
    return task;
}

void stopTask(platform::Task& task) {
    task.terminate();
    if (task.waitUntilExit(kTerminateGrace)) return;
    hlog("task kill.");
    task.kill();
    task.waitUntilExit(kTerminateGrace);
}

namespace {

// The designed start: socket, bind at the socket path (an old file there removed), listen, and
// the mode that lets the user's application connect. An invalid descriptor when a step fails.
UniqueFd bindListener() {
    hlog("server: socket!!!!!!!!!!!!!!!!");
    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener.valid()) {
        hlog("server: socket error!!!!!!!!!!!!!!!!");
        return UniqueFd();
    }
    const std::string path = helperSocketPath();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        hlog("server: bind error");
        return UniqueFd();
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());
    hlog("server: bind!!!!!!!!!!!!!!!!");
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        hlog("server: bind error");
        return UniqueFd();
    }
    hlog("server: listen");
    if (::listen(listener.get(), kListenBacklog) != 0) {
        hlog("server: listen error");
        return UniqueFd();
    }
    runShell("chmod 766 " + helper::doubleQuotedPath(path));
    return listener;
}

UniqueFd acceptOne(int listener) {
    hlog("server: accept!!!!!!!!!!!!!!!!");
    int fd = -1;
    for (int attempt = 0; attempt < 100 && waitReadable(listener); ++attempt) {
        fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0 || errno != EINTR) break;
    }
    if (fd < 0) hlog("server: accept error");
    return UniqueFd(fd);
}

// False when the designed sequence ends at once, without the closing log lines.
bool serveConnection(UniqueFd& conn) {
    uid_t uid = static_cast<uid_t>(-1);
    if (!helper::peerAllowed(conn.get(), helper::allowFilePath(), &uid)) {
        // A flood of such peers writes one line per uid and second, with the count it stands for.
        if (const long unlogged = helper::refusalsToReport(uid); unlogged == 0)
            hlog("server: peer uid %ld not allowed, connection closed.", static_cast<long>(uid));
        else if (unlogged > 0)
            hlog("server: peer uid %ld not allowed, connection closed (and %ld more not logged).",
                 static_cast<long>(uid), unlogged);
        conn.reset();
        return true;
    }
    // Held until this process ends: one user's idle or hostile connections cannot take the
    // instances that root and the other users need.
    helper::InstanceSlot slot;
    if (!slot.acquire(uid)) {
        hlog("server: uid %ld holds %d helper instances already, connection closed.", static_cast<long>(uid),
             helper::kMaxInstancesPerUid);
        conn.reset();
        return true;
    }

    hlog("server: read");
    Message m;
    receive(conn.get(), m, &kMessageWait);
    if (m.length < 0) {
        hlog("server: read error");
        return false;
    }
    hlog("read data [%d]\n", static_cast<int>(m.length));
    if (helper::isCloseRequest(m.text)) {
        hlog("server: close recv.");
        hlog("server: close server socket");
        return false;
    }
    if (m.tooLong()) {
        hlog("server: message too long, ignored.");
        return true;
    }
    hlog("buf:%s\n", helper::maskedForLog(m.text).c_str());
    std::vector<std::string> fields = helper::splitFields(m.text);
    switch (helper::commandOf(fields)) {
    case helper::Command::OvpnStart:
        handleOvpnStart(conn.get(), fields, uid);
        conn.reset();
        break;
    case helper::Command::OpenConnectStart:
        handleOpenConnectStart(conn.get(), fields, uid);
        break;
    case helper::Command::ScNetwork: {
        std::string refusal;
        if (helper::checkCommandFields(fields, refusal))
            handleScNetwork(conn, uid);
        else
            hlog("%s", refusal.c_str());
        break;
    }
    case helper::Command::Unknown:
        break;
    }
    return true;
}

} // namespace

// Started by the service manager (socket unit, or the supervisor) the helper serves the
// connection it was handed; started on its own it binds the socket and accepts one connection.
// Either way one process serves one connection and ends.
void server_start() {
    installStopHandler();
    hlog("server_start!!!!!!!!!!!!!!!!");
    UniqueFd listener, conn;
    const int handed = helper::handedSocket();
    if (handed >= 0 && !helper::isListeningSocket(handed)) {
        hlog("server: connection handed over by the service manager");
        conn.reset(handed);
    } else {
        if (handed >= 0) {
            hlog("server: listening socket handed over by the service manager");
            listener.reset(handed);
        } else {
            listener = bindListener();
            if (!listener.valid()) return;
        }
        conn = acceptOne(listener.get());
        if (!conn.valid()) return;
    }
    if (!serveConnection(conn)) return;
    hlog("server: close server socket");
    listener.reset();
    hlog("server: end");
}
