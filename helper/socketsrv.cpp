#include "helper/socketsrv.h"

#include "helper/CommandTable.h"
#include "helper/HelperLog.h"
#include "helper/HelperMessage.h"
#include "helper/InstanceLimits.h"
#include "helper/LeakBlock.h"
#include "helper/NetworkPreferencesEntry.h"
#include "helper/OvpnConfigFilter.h"
#include "helper/PeerCheck.h"
#include "helper/PeerConnection.h"
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
constexpr auto kTerminateGrace = 5s;
constexpr size_t kMaxConfigBytes = 1 << 20;
constexpr size_t kMaxConfigFileBytes = 256 << 10;

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
    // The tunnel device, its routes and so the leak block's interface outlive a restart (a
    // reconnect after a network change): what the machine sends meanwhile goes nowhere.
    if (!sealed.empty() && sealed.back() != '\n') sealed += '\n';
    text = std::move(sealed) + "persist-tun\n";
    UniqueFd copy(::memfd_create("config.ovpn", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!copy.valid() || !helper::writeAll(copy.get(), text) ||
        ::fcntl(copy.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0 ||
        ::lseek(copy.get(), 0, SEEK_SET) != 0) {
        hlog("config.ovpn: no sealed copy: %s", std::strerror(errno));
        return UniqueFd();
    }
    return copy;
}

bool openFolder(helper::WorkingFolder& folder, const std::string& root, const char* sub,
                const helper::Credentials& user) {
    std::string reason;
    if (folder.open(root, sub, user, reason)) return true;
    hlog("working folder refused: %s/%s: %s", helper::escapedForLog(root).c_str(), sub, reason.c_str());
    return false;
}

} // namespace

std::unique_ptr<platform::Task> execOVPN(const std::string& rootPath, const helper::Credentials& user,
                                         UniqueFd* logReader) {
    const std::string exe = rootPath + "/OpenVPN/openvpn";
    const std::string dir = rootPath + "/OpenVPN";
    hlog("executablePath:%s", exe.c_str());
    hlog("currDirPath:%s", dir.c_str());

    helper::WorkingFolder folder;
    if (!openFolder(folder, rootPath, "OpenVPN", user)) return nullptr;
    const std::string program = helper::rootOnlyCopy(helper::kOpenVpnCopy);
    if (program.empty()) return nullptr;
    UniqueFd config = checkedConfig(folder);
    if (!config.valid()) return nullptr;

    // The log is made here, a fresh file of the user's, and handed to openvpn: openvpn itself would
    // open whatever the name held. Readable for the application, as designed; being new, its mode
    // is the helper's to choose.
    std::string reason;
    UniqueFd log = folder.createFresh("ovpn.log", 0600, reason, O_RDWR);
    if (!log.valid()) {
        hlog("ovpn.log refused: %s", reason.c_str());
        return nullptr;
    }
    char cmd[256];
    std::snprintf(cmd, sizeof cmd, "chmod 755 %s", helper::doubleQuotedPath(dir + "/ovpn.log").c_str());
    hlog("chg mode log:%s", cmd);
    ::fchmod(log.get(), 0755);
    // The same file, whatever becomes of its name in the folder.
    if (logReader) logReader->reset(::fcntl(log.get(), F_DUPFD_CLOEXEC, 0));

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
                                                const helper::Credentials& owner) {
    const std::string cmd = openConnectCommandLine(user, url, pin);
    const std::string dir = rootPath + "/openconnect";
    hlog("executableCmd:%s", cmd.c_str());
    hlog("currDirPath:%s", dir.c_str());

    helper::WorkingFolder folder;
    if (!openFolder(folder, rootPath, "openconnect", owner)) return nullptr;
    const std::string program = helper::rootOnlyCopy(helper::kOpenConnectCopy);
    // The launcher runs the routing script beside it as root too.
    if (program.empty() || helper::rootOnlyCopy(helper::kRoutingScriptCopy).empty()) return nullptr;

    // The line's redirections, done here with the user's rights: "< password.txt" reads only the
    // user's own plain file, "&> status.log" and "> childpid" write only fresh files.
    std::string reason;
    UniqueFd password = folder.openOwnedForReading("password.txt", reason);
    if (!password.valid()) {
        hlog("password.txt refused: %s", reason.c_str());
        return nullptr;
    }
    // openconnect reads the password from this descriptor: the name has served its purpose, and the
    // password does not stay on disk for the life of the tunnel and after.
    folder.remove("password.txt");
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
        const helper::LeakOwner instance = helper::leakOwnerOfThisHelper(owner.uid);
        task->extraEnvironment.push_back("TAVROVPN_HELPER=" + self);
        task->extraEnvironment.push_back("TAVROVPN_TUNNEL_OWNER=" + std::to_string(instance.pid) + " " +
                                         std::to_string(instance.start) + " " + std::to_string(owner.uid));
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
    helper::runShell("chmod 766 " + helper::doubleQuotedPath(path));
    return listener;
}

UniqueFd acceptOne(int listener) {
    hlog("server: accept!!!!!!!!!!!!!!!!");
    int fd = -1;
    for (int attempt = 0; attempt < 100 && helper::waitReadable(listener); ++attempt) {
        fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0 || errno != EINTR) break;
    }
    if (fd < 0) hlog("server: accept error");
    return UniqueFd(fd);
}

// False when the designed sequence ends at once, without the closing log lines.
bool serveConnection(UniqueFd& conn) {
    helper::Credentials caller;
    caller.uid = static_cast<uid_t>(-1);
    const bool known = helper::peerCredentials(conn.get(), caller);
    if (!known || !helper::uidAllowed(caller.uid, helper::allowFilePath())) {
        const uid_t uid = caller.uid;
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
    if (!slot.acquire(caller.uid)) {
        hlog("server: uid %ld holds %d helper instances already, connection closed.",
             static_cast<long>(caller.uid), helper::kMaxInstancesPerUid);
        conn.reset();
        return true;
    }

    hlog("server: read");
    helper::Message m;
    helper::receive(conn.get(), m, &helper::kMessageWait);
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
    helper::dispatchFirstMessage(conn, helper::splitFields(m.text), caller);
    return true;
}

} // namespace

// Started by the service manager (socket unit, or the supervisor) the helper serves the
// connection it was handed; started on its own it binds the socket and accepts one connection.
// Either way one process serves one connection and ends.
void server_start() {
    helper::installStopHandler();
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
