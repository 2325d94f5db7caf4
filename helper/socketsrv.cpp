#include "helper/socketsrv.h"

#include "helper/HelperLog.h"
#include "helper/HelperMessage.h"
#include "helper/NetworkPreferencesEntry.h"
#include "helper/OvpnConfigFilter.h"
#include "helper/PeerCheck.h"
#include "helper/SecKeyChainEntry.h"
#include "helper/ShellQuote.h"
#include "helper/SystemServiceProfile.h"
#include "platform/Log.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using helper::hlog;

namespace {

using namespace std::chrono_literals;

constexpr int kListenBacklog = 5;
constexpr auto kTerminateGrace = 5s;
constexpr auto kShellWait = 30s;
constexpr auto kLogFileWait = 3s;
// A tunnel lives for hours, one shell line now and then; this only keeps the loop finite.
constexpr long kMaxTunnelCommands = 1000000;

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

// Waits until fd is readable (or has a connection to accept); false on a stop request.
bool waitReadable(int fd) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (g_stopRequested) return false;
        pollfd p{fd, POLLIN, 0};
        int r = ::ppoll(&p, 1, nullptr, g_stopSignalsBlocked ? &g_waitMask : nullptr);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return true; // let the call itself report the error
    }
    return false;
}

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// The receive buffer: one byte more than a receive may fill, so the text is always terminated.
struct Message {
    char text[helper::kMessageBufferSize + 1];
    ssize_t length = -1;
    bool tooLong() const { return length >= static_cast<ssize_t>(helper::kMessageBufferSize); }
};

void receive(int fd, Message& m) {
    std::memset(m.text, 0, sizeof m.text);
    m.length = -1;
    for (int attempt = 0; attempt < 100 && waitReadable(fd); ++attempt) {
        m.length = ::recv(fd, m.text, helper::kMessageBufferSize, 0);
        if (m.length >= 0 || errno != EINTR) return;
    }
    m.length = -1;
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

// Shell lines sent through an open tunnel channel, run as root until the client closes its end.
void runTunnelChannel(int conn) {
    Message m;
    hlog("command recv wait...");
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
        hlog("command received... system call.");
        runShell(m.text);
        hlog("command recv wait...");
        receive(conn, m);
    }
}

void handleOvpnStart(int conn, const std::vector<std::string>& fields) {
    hlog("CMD_OVPN_START command start.");
    std::string root;
    if (!helper::parseOvpnStart(fields, root)) {
        hlog("CMD_OVPN_START missing or relative root path: nothing started.");
        reply(conn, "0");
        return;
    }
    std::unique_ptr<platform::Task> task = execOVPN(root);
    if (!task) {
        hlog("CMD_OVPN_START command failed.");
        reply(conn, "0");
        return;
    }
    hlog("CMD_OVPN_START command success");
    reply(conn, "1");
    runTunnelChannel(conn);
    hlog("task terminate.");
    stopTask(*task);
    hlog("server: close accept socket");
}

void handleOpenConnectStart(int conn, const std::vector<std::string>& fields) {
    hlog("CMD_OPENCONNECT_START command start.");
    helper::OpenConnectStart req;
    if (!helper::parseOpenConnectStart(fields, req)) {
        hlog("CMD_OPENCONNECT_START missing fields: nothing started.");
        reply(conn, "0");
        return;
    }
    hlog("bundlePath:%s", req.rootPath.c_str());
    hlog("username:%s", req.user.c_str());
    hlog("hostname:%s", req.url.c_str());
    hlog("cert:%s", req.pin.c_str());
    std::unique_ptr<platform::Task> task = execOPENCONNECT(req.rootPath, req.user, req.url, req.pin);
    if (!task) {
        hlog("CMD_OPENCONNECT_START command failed.");
        reply(conn, "0");
        return;
    }
    hlog("CMD_OPENCONNECT_STARTCMD_OPENCONNECT_START command success");
    reply(conn, "1");
    runTunnelChannel(conn);
    // The shell has ended already; the backgrounded openconnect keeps running until "kill -HUP".
    task->terminate();
    hlog("task terminate.");
}

void handleSetKey(int conn, const std::vector<std::string>& fields) {
    helper::SetKeyRequest r;
    std::string problem;
    helper::SetKeyParse parsed = helper::parseSetKey(fields, r, problem);
    if (parsed != helper::SetKeyParse::Ok) {
        hlog("SET_KEY refused: %s\n", problem.c_str());
        reply(conn, "0");
        return;
    }
    hlog("11111\n");
    hlog("222222\n");
    hlog("33333\n");
    hlog("strPPPCCPEnabled128:%s\n", r.ccp128Text.c_str());
    hlog("appPath:%s\nserviceName:%s\nserviceId:%s\nserverAddr:%s\naccountName:%s\npassword:%s\n"
         "L2TPpassword:%s\nIsL2tp:%s\nDNSPrim:%s\nDNSSecond:%s\nPPPCCPEnabled40:%s\nPPPCCPEnabled128:%s",
         r.appPath.c_str(), helper::kServiceName, r.serviceId.c_str(), r.serverAddr.c_str(),
         r.accountName.c_str(), platform::kMasked, platform::kMasked, r.isL2tpText.c_str(), r.dnsPrim.c_str(),
         r.dnsSecond.c_str(), r.ccp40Text.c_str(), r.ccp128Text.c_str());

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
                            r.password.c_str(), r.l2tpPassword.c_str(), r.isL2tp)) {
        hlog("writeKeyChaineInfo error\n");
        reply(conn, "0");
        return;
    }
    // A service NetworkManager does not hold cannot be started: that is no success.
    if (realiseService(serviceId) != RealiseResult::Realised) {
        hlog("SET_KEY service not realised\n");
        reply(conn, "0");
        return;
    }
    hlog("SET_KEY command success\n");
    reply(conn, "1");
}

// GET_PASSWD_SZ / GET_USER_SZ: the attribute's bytes, or nothing at all.
void handleKeychainRead(int conn, const std::string& service, const char* attribute) {
    std::optional<KeychainItem> item = readKeyChaineInfo(service.c_str());
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

void dispatchSubCommand(int conn, const std::vector<std::string>& fields) {
    const bool haveService = fields.size() >= 2;
    const std::string service = haveService ? fields[1] : std::string();
    switch (helper::subCommandOf(fields)) {
    case helper::SubCommand::RemovePasswd:
        if (haveService && removePasswd(helper::kServiceName, service.c_str())) {
            hlog("SET_KEY command success\n");
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
        if (haveService) removeKeyChainInfo(service.c_str());
        hlog("DELETE_KEY end\n");
        reply(conn, "0");
        break;
    case helper::SubCommand::GetPasswdSz:
        if (haveService) handleKeychainRead(conn, service, "v_Data");
        break;
    case helper::SubCommand::GetUserSz:
        if (haveService) handleKeychainRead(conn, service, "acct");
        break;
    case helper::SubCommand::SetKey:
        handleSetKey(conn, fields);
        break;
    case helper::SubCommand::RemovePref:
        // Initialize's removal: the application does not wait for an answer, and none is sent.
        hlog("REMOVE_PREF start\n");
        if (haveService) removeServiceEverywhere(service);
        hlog("REMOVE_PREF end\n");
        break;
    case helper::SubCommand::Unknown:
        break;
    }
}

// One sub-command per connection. After it the connection is closed, so the next read of the
// loop fails; the log shows that as it always has.
void handleScNetwork(UniqueFd& conn) {
    hlog("CMD_SCNETWORK command start.");
    reply(conn.get(), "1");
    Message m;
    for (int round = 0; round < 2; ++round) {
        hlog("command recv wait...");
        if (conn.valid()) receive(conn.get(), m);
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
        hlog("cmdUTF8;%s\n", fields.size() > 0 ? fields[0].c_str() : "");
        hlog("serviceIdUTF8;%s\n", fields.size() > 1 ? fields[1].c_str() : "");
        dispatchSubCommand(conn.get(), fields);
        hlog("server: close accept socket");
        conn.reset();
    }
}

bool waitForFile(const std::string& path, platform::Task& task, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    struct stat st {};
    while (::stat(path.c_str(), &st) != 0) {
        if (std::chrono::steady_clock::now() >= deadline || !task.isRunning()) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
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

std::unique_ptr<platform::Task> execOVPN(const std::string& rootPath) {
    const std::string exe = rootPath + "/OpenVPN/openvpn";
    const std::string dir = rootPath + "/OpenVPN";
    hlog("executablePath:%s", exe.c_str());
    hlog("currDirPath:%s", dir.c_str());

    std::string reason;
    if (!helper::checkOvpnConfigFile(dir + "/config.ovpn", reason)) {
        hlog("config.ovpn refused: %s", reason.c_str());
        return nullptr;
    }

    auto task = std::make_unique<platform::Task>();
    task->launchPath = exe;
    task->currentDirectory = dir;
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
    if (!task->launch()) {
        hlog("task launch error: %s", std::strerror(errno));
        return nullptr;
    }

    // openvpn creates a new log file readable by root only; a chmod before it exists is lost, and
    // the application could not read the log of its first connection.
    const std::string logPath = dir + "/ovpn.log";
    waitForFile(logPath, *task, kLogFileWait);
    char cmd[256];
    int len = std::snprintf(cmd, sizeof cmd, "chmod 755 %s", helper::doubleQuotedPath(logPath).c_str());
    if (len < 0 || static_cast<size_t>(len) >= sizeof cmd) {
        hlog("chg mode log: path too long, not changed");
    } else {
        hlog("chg mode log:%s", cmd);
        runShell(cmd);
    }
    return task;
}

std::unique_ptr<platform::Task> execOPENCONNECT(const std::string& rootPath, const std::string& user,
                                                const std::string& url, const std::string& pin) {
    const std::string cmd = openConnectCommandLine(user, url, pin);
    const std::string dir = rootPath + "/openconnect";
    hlog("executableCmd:%s", cmd.c_str());
    hlog("currDirPath:%s", dir.c_str());

    auto task = std::make_unique<platform::Task>();
    task->currentDirectory = dir;
    // bash, not sh: "&>" means "stdout and stderr" only in bash (dash backgrounds the command and
    // leaves status.log empty and childpid wrong).
    task->launchPath = "/bin/bash";
    task->arguments = {"-c", cmd};

    runShell("rm " + helper::doubleQuotedPath(dir + "/childpid"));
    runShell("rm " + helper::doubleQuotedPath(dir + "/status.log"));

    hlog("task launch");
    if (!task->launch()) {
        hlog("task launch error: %s", std::strerror(errno));
        return nullptr;
    }
    if (!task->waitUntilExit(kShellWait)) {
        hlog("task did not return, killed.");
        task->kill();
        task->waitUntilExit(kTerminateGrace);
    }
    return task;
}

void stopTask(platform::Task& task) {
    task.terminate();
    if (task.waitUntilExit(kTerminateGrace)) return;
    hlog("task kill.");
    task.kill();
    task.waitUntilExit(kTerminateGrace);
}

void server_start() {
    installStopHandler();
    hlog("server_start!!!!!!!!!!!!!!!!");
    hlog("server: socket!!!!!!!!!!!!!!!!");
    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener.valid()) {
        hlog("server: socket error!!!!!!!!!!!!!!!!");
        return;
    }
    const std::string path = helperSocketPath();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        hlog("server: bind error");
        return;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());
    hlog("server: bind!!!!!!!!!!!!!!!!");
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        hlog("server: bind error");
        return;
    }
    hlog("server: listen");
    if (::listen(listener.get(), kListenBacklog) != 0) {
        hlog("server: listen error");
        return;
    }
    runShell("chmod 766 " + helper::doubleQuotedPath(path));

    hlog("server: accept!!!!!!!!!!!!!!!!");
    int fd = -1;
    for (int attempt = 0; attempt < 100 && waitReadable(listener.get()); ++attempt) {
        fd = ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0 || errno != EINTR) break;
    }
    if (fd < 0) {
        hlog("server: accept error");
        return;
    }
    UniqueFd conn(fd);

    uid_t uid = static_cast<uid_t>(-1);
    if (!helper::peerAllowed(conn.get(), helper::allowFilePath(), &uid)) {
        hlog("server: peer uid %ld not allowed, connection closed.", static_cast<long>(uid));
        conn.reset();
        hlog("server: close server socket");
        listener.reset();
        hlog("server: end");
        return;
    }

    hlog("server: read");
    Message m;
    receive(conn.get(), m);
    if (m.length < 0) {
        hlog("server: read error");
        return;
    }
    hlog("read data [%d]\n", static_cast<int>(m.length));
    if (helper::isCloseRequest(m.text)) {
        hlog("server: close recv.");
        hlog("server: close server socket");
        return;
    }
    if (m.tooLong()) {
        hlog("server: message too long, ignored.");
    } else {
        hlog("buf:%s\n", helper::maskedForLog(m.text).c_str());
        std::vector<std::string> fields = helper::splitFields(m.text);
        switch (helper::commandOf(fields)) {
        case helper::Command::OvpnStart:
            handleOvpnStart(conn.get(), fields);
            conn.reset();
            break;
        case helper::Command::OpenConnectStart:
            handleOpenConnectStart(conn.get(), fields);
            break;
        case helper::Command::ScNetwork:
            handleScNetwork(conn);
            break;
        case helper::Command::Unknown:
            break;
        }
    }
    hlog("server: close server socket");
    listener.reset();
    hlog("server: end");
}
