// A hostile process running as the user the helper serves tries to get root through the real
// helper under the real supervisor, with the real openvpn, openconnect and set-dns.sh copies. Each
// attempt is judged by its effect: root-only files untouched, nothing run as root from the user's
// folder, no credentials for a listener the user put on the management port. Root only; each test
// in its own process inside a private mount namespace with /etc overlaid (set-dns.sh switches it).
#include "AsUser.h"
#include "HelperMessages.h"
#include "HelperUnderSupervisor.h"
#include "PrivateEtc.h"
#include "ProcessUtil.h"
#include "app/channels/helpersocket.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sched.h>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::readFile;
using testsupport::waitFor;

constexpr uid_t kUser = 65534; // nobody: the user the helper was installed for, here
constexpr gid_t kGroup = 65534;
constexpr uid_t kStranger = 65533; // a user not in the allow file
constexpr uid_t kOther = 65532;    // a second user the helper serves

using testsupport::env;

// A configuration that passes the check and keeps openvpn waiting for its management client.
const std::string kConfig =
    "client\ndev null\nproto udp\nremote 127.0.0.1 1\nauth-user-pass\n"
    "peer-fingerprint 00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:"
    "00:00:00:00:00:00:00:00:00:00\n";

// --- What the hostile user does (these run as kUser) -----------------------------------------

std::string receive(int fd, std::chrono::milliseconds limit = 10s) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(limit.count())) <= 0) return "(nothing)";
    char buf[512];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n < 0 ? "(error)" : n == 0 ? "(eof)" : std::string(buf, static_cast<size_t>(n));
}

void sendLine(int fd, const std::string& text) {
    (void)send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

// A start command as the application sends it (with its NUL); the open channel, or -1.
int start(const std::string& command, std::string& reply) {
    return requestDaemonBySocket(command.c_str(), command.size() + 1, &reply);
}

using testsupport::connectHelper;
using testsupport::converse;

void write(const fs::path& p, const std::string& text, fs::perms mode = fs::perms(0644)) {
    std::ofstream(p, std::ios::trunc) << text;
    fs::permissions(p, mode);
}

int connectManagement() {
    for (int i = 0; i < 50; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(kOVPNManagementPort);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
        close(fd);
        std::this_thread::sleep_for(100ms);
    }
    return -1;
}

// Releases the hold of the openvpn on the management port and logs in: it then does all it would.
void releaseHold() {
    const int m = connectManagement();
    for (const char* command : {"hold release\n", "username \"Auth\" u\n", "password \"Auth\" p\n"}) {
        sendLine(m, command);
        std::this_thread::sleep_for(300ms);
    }
    std::this_thread::sleep_for(1s);
    close(m);
}

// A process of the user's in a user and mount namespace of its own, with `victim` mounted over each
// of `over` there; alive until killed. -1 when no user may make namespaces on this machine.
pid_t mountedInOwnNamespace(const fs::path& victim, const std::vector<fs::path>& over) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    const pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        const auto put = [](const char* file, const std::string& text) { std::ofstream(file) << text; };
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) _exit(1);
        put("/proc/self/setgroups", "deny");
        put("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n");
        put("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n");
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(1);
        for (const fs::path& p : over)
            if (mount(victim.c_str(), p.c_str(), nullptr, MS_BIND, nullptr) != 0) _exit(1);
        (void)!::write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char c = 0;
    const bool up = read(ready[0], &c, 1) == 1;
    close(ready[0]);
    if (up) return pid;
    waitpid(pid, nullptr, 0);
    return -1;
}

// Listening TCP sockets on a port below 1024 (/proc/net/tcp and tcp6, state 0A), as "proto:port".
std::string privilegedListeners() {
    std::string out;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::istringstream lines(readFile(table));
        std::string line;
        std::getline(lines, line);
        while (std::getline(lines, line)) {
            std::istringstream f(line);
            std::string slot, local, remote, state;
            f >> slot >> local >> remote >> state;
            const unsigned long port = std::strtoul(local.substr(local.rfind(':') + 1).c_str(), nullptr, 16);
            if (state == "0A" && port < 1024) out += std::string(table) + ":" + std::to_string(port) + " ";
        }
    }
    return out;
}

// A static key of one repeated byte, which shows wherever any of it is written.
std::string staticKey(const std::string& byte) {
    std::string key = "-----BEGIN OpenVPN Static key V1-----\n";
    for (int i = 0; i < 16; ++i) {
        for (int j = 0; j < 16; ++j)
            key += byte;
        key += "\n";
    }
    return key + "-----END OpenVPN Static key V1-----\n";
}

// The text without blanks and colons: key bytes as openvpn prints them, in any grouping.
std::string packed(std::string text) {
    std::erase_if(text, [](char c) { return c == ' ' || c == ':' || c == '\n'; });
    return text;
}

// --- The fixture (runs as root) ----------------------------------------------------------------

class HostilePeer : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root: the helper runs as root, the attacker as nobody";
        if (!privateetc::inside()) {
            const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
            delegated = true;
            ASSERT_EQ(privateetc::runSelf(
                          {std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name()}),
                      0)
                << "the test failed inside the private mount namespace";
            return;
        }
        ASSERT_TRUE(testsupport::portFree(kOVPNManagementPort)) << "127.0.0.1:17505 is busy";
        const fs::path bin = env("TAVROVPN_BINARY_DIR");
        char tmpl[] = "/tmp/tv-security-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        tmp = tmpl;
        fs::permissions(tmp, fs::perms(0755));
        rootOnly = tmp / "root-only";
        fs::create_directory(rootOnly);
        fs::permissions(rootOnly, fs::perms(0700));
        // The user's working folder, the user's own.
        root = tmp / "home/Application Support/norvell/tavrovpn";
        fs::create_directories(root / "OpenVPN");
        fs::create_directories(root / "openconnect");
        for (fs::path p = root / "OpenVPN"; p != tmp; p = p.parent_path())
            chown(p.c_str(), kUser, kGroup);
        chown((root / "openconnect").c_str(), kUser, kGroup);
        resolvBefore = readFile("/etc/resolv.conf");

        setenv("TAVROVPN_DNS_STATE_DIR", (tmp / "dns-state").c_str(), 1);
        fs::create_directories(tmp / "dns-state");
        fs::permissions(tmp / "dns-state", fs::perms(0700));
        ASSERT_TRUE(testsupport::launchHelperUnderSupervisor(
            supervisor, tmp, bin / "tools/supervisor/tvapphelper-supervise", bin / "helper/tvapphelper", {},
            {kUser, kOther}));
        ASSERT_TRUE(waitFor([&] { return fs::exists(tmp / "helper.ipc"); }, 10s));
    }

    void TearDown() override {
        if (delegated || tmp.empty()) return;
        testsupport::stopTask(supervisor);
        for (const char* sub : {"OpenVPN", "openconnect"})
            for (pid_t p : testsupport::processesIn(root / sub))
                kill(p, SIGKILL);
        std::error_code ec;
        fs::remove_all(tmp, ec);
    }

    // A root-only file the attack would like to change or read.
    fs::path target(const std::string& name, const std::string& text = "untouched\n") const {
        write(rootOnly / name, text, fs::perms(0600));
        return rootOnly / name;
    }
    // A root-only file in a folder everyone may pass through, as /etc/shadow is.
    fs::path victim(const std::string& name, const std::string& text = "root's file\n") const {
        write(tmp / name, text, fs::perms(0600));
        return tmp / name;
    }
    std::string ovpn(const std::string& name) const { return (root / "OpenVPN" / name).string(); }
    std::string oc(const std::string& name) const { return (root / "openconnect" / name).string(); }
    std::string ovpnStart() const { return "CMD_OVPN_START," + root.string(); }
    std::string ocStart() const { return testsupport::openConnectStart(root.string()); }
    std::string helperLog() const { return readFile(tmp / "helper.log"); }
    // Is the user still served? GET_VER answered in time.
    bool userServed() const {
        return asUser([] { return converse({"CMD_SCNETWORK", "GET_VER"}); }) == "1;240;(eof);";
    }
    std::string setDns() const { return "\"" + root.string() + "/OpenVPN/set-dns.sh\" "; }
    std::string asUser(const std::function<std::string()>& fn) const {
        return testsupport::asUser(kUser, kGroup, fn);
    }
    // The sub-command's answers on its own CMD_SCNETWORK connection, as uid.
    std::string subCommandAs(uid_t uid, const std::string& message) const {
        return testsupport::asUser(uid, uid, [&] { return converse({"CMD_SCNETWORK", message}); });
    }
    // The one service the helper has provisioned, from its own store.
    std::string provisionedService() const {
        const auto prefs =
            nlohmann::json::parse(readFile(tmp / "state/network-preferences.json"), nullptr, false);
        if (prefs.is_discarded() || !prefs.contains("NetworkServices") ||
            prefs["NetworkServices"].size() != 1)
            return {};
        return prefs["NetworkServices"].begin().key();
    }
    std::string leakBlock() const {
        return testsupport::commandOutput("nft list table inet tavrovpn 2>/dev/null");
    }
    bool nothingRunsIn(const char* sub) const {
        return waitFor([&] { return testsupport::processesIn(root / sub).empty(); }, 15s);
    }

    bool delegated = false;
    fs::path tmp, rootOnly, root;
    std::string resolvBefore;
    platform::Task supervisor;
};

TEST_F(HostilePeer, AForeignShellLineOnATunnelChannelRunsNothing) {
    if (delegated) return;
    const fs::path marker = rootOnly / "marker";
    const std::string report = asUser([&] {
        write(ovpn("config.ovpn"), kConfig);
        std::string out;
        for (const std::string& line :
             {"touch " + marker.string(), setDns() + "openvpn 10.8.0.1; touch " + marker.string(),
              setDns() + "openvpn $(touch " + marker.string() + ")"}) {
            std::string reply;
            const int fd = start(ovpnStart(), reply);
            sendLine(fd, line);
            out += reply + receive(fd) + ";";
            close(fd);
        }
        return out;
    });
    EXPECT_EQ(report, "1(eof);1(eof);1(eof);");
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_TRUE(nothingRunsIn("OpenVPN")) << "the refused channel must end openvpn too";
    EXPECT_EQ(readFile("/etc/resolv.conf"), resolvBefore);
}

TEST_F(HostilePeer, PlantedLinksAreNeitherFollowedNorRead) {
    if (delegated) return;
    const fs::path status = target("status"), childpid = target("childpid"), log = target("log"),
                   resolv = target("resolv"), secret = target("secret", "root's secret\n");
    const std::string report = asUser([&] {
        std::string out, reply;
        // openconnect: the password file a link to a root-only file, then the user's own file.
        fs::create_symlink(status, oc("status.log"));
        fs::create_symlink(childpid, oc("childpid"));
        fs::create_symlink(secret, oc("password.txt"));
        int fd = start(ocStart(), reply);
        out += reply + receive(fd) + ";";
        close(fd);
        fs::remove(oc("password.txt"));
        write(oc("password.txt"), "pw\n", fs::perms(0600));
        fd = start(ocStart(), reply);
        out += reply + ";";
        std::this_thread::sleep_for(1s);
        close(fd);
        // openvpn: its log a link, then the resolver copy's destination.
        write(ovpn("config.ovpn"), kConfig);
        fs::create_symlink(log, ovpn("ovpn.log"));
        fd = start(ovpnStart(), reply);
        out += reply + ";";
        close(fd);
        fd = start(ovpnStart(), reply);
        out += reply + ";";
        fs::create_symlink(resolv, ovpn("resolv.conf"));
        sendLine(fd, "cp /etc/resolv.conf \"" + root.string() + "/OpenVPN/\"");
        std::this_thread::sleep_for(1s);
        close(fd);
        return out;
    });
    EXPECT_EQ(report, "0(eof);1;1;1;");
    for (const fs::path& p : {status, childpid, log, resolv})
        EXPECT_EQ(readFile(p), "untouched\n") << p;
    EXPECT_EQ(readFile(secret), "root's secret\n");
    // What root wrote went into fresh plain files of the folder.
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(oc("status.log"))));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(oc("childpid"))));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(ovpn("ovpn.log"))));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(ovpn("resolv.conf"))));
    EXPECT_EQ(readFile(oc("status.log")).find("root's secret"), std::string::npos);
    EXPECT_TRUE(nothingRunsIn("OpenVPN"));
}

TEST_F(HostilePeer, ASwappedConfigurationIsNeverRead) {
    if (delegated) return;
    // Swapped after the check, then openvpn is made to read its configuration again (SIGHUP through
    // the management port, which any local user can reach): root would write a status file there.
    const fs::path written = rootOnly / "status.txt";
    const std::string report = asUser([&] {
        write(ovpn("config.ovpn"), kConfig);
        std::string reply, out;
        const int fd = start(ovpnStart(), reply);
        out += reply + ";";
        write(ovpn("config.ovpn.new"), kConfig + "status " + written.string() + " 1\nscript-security 2\n");
        fs::rename(ovpn("config.ovpn.new"), ovpn("config.ovpn"));
        const int m = connectManagement();
        // The last "pid" shows openvpn still running after reading its configuration again.
        for (const char* command : {"hold release\n", "username \"Auth\" u\n", "password \"Auth\" p\n",
                                    "signal SIGHUP\n", "hold release\n", "pid\n"}) {
            sendLine(m, command);
            std::this_thread::sleep_for(500ms);
            out += receive(m, 1s).find("SUCCESS") != std::string::npos ? "S" : "-";
        }
        close(m);
        close(fd);
        return out;
    });
    EXPECT_EQ(report, "1;SSSSSS");
    EXPECT_NE(readFile(ovpn("ovpn.log")).find("SIGHUP"), std::string::npos) << "openvpn did not restart";
    EXPECT_FALSE(fs::exists(written));
    EXPECT_TRUE(nothingRunsIn("OpenVPN"));
}

TEST_F(HostilePeer, ReplacedLaunchersAndSetDnsNeverRunAsRoot) {
    if (delegated) return;
    const fs::path marker = rootOnly / "marker";
    const std::string report = asUser([&] {
        const std::string evil = "#!/bin/sh\ntouch " + marker.string() + "\n";
        for (const std::string& p :
             {ovpn("openvpn"), ovpn("set-dns.sh"), oc("openconnect"), oc("vpnc-script-wrapper")})
            write(p, evil, fs::perms(0755));
        write(ovpn("config.ovpn"), kConfig);
        write(oc("password.txt"), "pw\n", fs::perms(0600));
        std::string reply, out;
        int fd = start(ovpnStart(), reply);
        out += reply + ";";
        sendLine(fd, setDns() + "openvpn 192.0.2.53");
        std::this_thread::sleep_for(1s);
        out += readFile("/etc/resolv.conf").find("nameserver 192.0.2.53") != std::string::npos
                   ? "switched;"
                   : "not switched;";
        sendLine(fd, setDns() + "localhost ");
        std::this_thread::sleep_for(1s);
        close(fd);
        fd = start(ocStart(), reply);
        out += reply + ";";
        std::this_thread::sleep_for(1s);
        close(fd);
        return out;
    });
    // The helper's own openvpn, set-dns.sh and openconnect ran; the user's did not.
    EXPECT_EQ(report, "1;switched;1;");
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_EQ(readFile("/etc/resolv.conf"), resolvBefore);
    EXPECT_NE(readFile(ovpn("ovpn.log")).find("OpenVPN"), std::string::npos);
    EXPECT_TRUE(nothingRunsIn("OpenVPN"));
}

TEST_F(HostilePeer, AListenerSquattingTheManagementPortGetsNoCredentials) {
    if (delegated) return;
    // The user takes 127.0.0.1:17505 first and plays openvpn, recording what it is told.
    int heard[2];
    ASSERT_EQ(pipe(heard), 0);
    const pid_t squatter = fork();
    if (squatter == 0) {
        close(heard[0]);
        if (setgroups(0, nullptr) != 0 || setgid(kGroup) != 0 || setuid(kUser) != 0) _exit(2);
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1; // earlier tests' management connections may linger in TIME_WAIT
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(kOVPNManagementPort);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 4) != 0) _exit(3);
        pollfd p{s, POLLIN, 0};
        for (int round = 0; round < 3 && poll(&p, 1, 15000) > 0; ++round) {
            const int c = accept(s, nullptr, nullptr);
            const std::string hello =
                ">INFO:OpenVPN Management Interface Version 5\r\n>HOLD:Waiting for hold release:0\r\n";
            send(c, hello.data(), hello.size(), MSG_NOSIGNAL);
            char buf[1024];
            pollfd q{c, POLLIN, 0};
            for (int i = 0; i < 30 && poll(&q, 1, 100) >= 0; ++i) {
                if (!(q.revents & POLLIN)) continue;
                const ssize_t n = recv(c, buf, sizeof buf, 0);
                if (n <= 0) break;
                if (::write(heard[1], buf, static_cast<size_t>(n)) != n) break;
                send(c, "SUCCESS: ok\r\n", 13, MSG_NOSIGNAL);
            }
            close(c);
        }
        _exit(0);
    }
    close(heard[1]);
    ASSERT_TRUE(waitFor([] { return !testsupport::portFree(kOVPNManagementPort); }, 5s));

    // The application's own steps, as the user: the start command, then the management client.
    const std::string report = asUser([&] {
        write(ovpn("config.ovpn"), kConfig);
        const std::string command = ovpnStart();
        std::string reply;
        const int helper = requestDaemonBySocket(command.c_str(), command.size() + 1, &reply);
        std::this_thread::sleep_for(1s);
        const int mgmt = ConnectOVPNControle("tb000001", "secret1");
        socket_close(helper);
        return "reply=" + reply + " management=" + std::to_string(mgmt);
    });
    EXPECT_EQ(report, "reply=1 management=-1");
    kill(squatter, SIGKILL);
    waitpid(squatter, nullptr, 0);
    char buf[4096];
    const ssize_t n = read(heard[0], buf, sizeof buf);
    close(heard[0]);
    EXPECT_LE(n, 0) << "the squatter heard: " << std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
    // The helper's openvpn could not have the port and ended.
    EXPECT_TRUE(nothingRunsIn("OpenVPN"));
}

} // namespace

namespace {

// A message whose fields are fields with fields[index] replaced by value.
std::string withField(std::vector<std::string> fields, size_t index, const std::string& value) {
    fields[index] = value;
    std::string out;
    for (const auto& f : fields)
        out += (out.empty() ? "" : ",") + f;
    return out;
}

// value padded so that the whole message is exactly length bytes.
std::string paddedTo(std::vector<std::string> fields, size_t index, size_t length) {
    fields[index].clear();
    const size_t rest = withField(fields, index, "").size();
    return std::string(length > rest ? length - rest : 1, 'a');
}

} // namespace

// Every field of every command, hostile values in each, sent by the user's other processes: the
// answers are only the designed ones, and the effects are nil — nothing run as root from the
// user's choosing (a marker only root could make), no root-only file read into something the user
// can read, no forged log line, the user's tunnels gone with their channels, the user still served.
TEST_F(HostilePeer, EveryFieldOfEveryCommandTakesOnlyWhatTheApplicationSends) {
    if (delegated) return;
    const fs::path marker = rootOnly / "marker";
    const fs::path secret = target("secret", "root's secret\n");
    const std::string evilConf = oc("evil.conf");
    const std::string id = "0b1c2d3e-4f50-4617-8293-a4b5c6d7e8f9";
    const std::vector<std::vector<std::string>> commands = {
        {"CMD_OPENCONNECT_START", root.string(), "tb000001", "https://127.0.0.1:443/", testsupport::kTestPin},
        {"CMD_OVPN_START", root.string()},
        {"SET_KEY", "(null)", "/opt/TavroVPN", "vpn.example.jp", "user1", "pw", "TRUE", "none", "none", "0",
         "1", "859"},
        {"REMOVE_PASSWD", id},
        {"DELETE_KEY", id},
        {"GET_PASSWD_SZ", id},
        {"GET_USER_SZ", id},
        {"REMOVE_PREF", id},
        {"CMD_SCNETWORK", "x"}};
    const std::vector<std::string> values = {"-x",
                                             "--config=" + evilConf,
                                             "--config=" + secret.string(),
                                             "--script=touch " + marker.string(),
                                             "=",
                                             "a b",
                                             "x\nserver: forged line",
                                             std::string("a\0b", 3),
                                             "\xff\xfe",
                                             "\"'$(touch " + marker.string() + ")",
                                             "\\\\",
                                             "511",
                                             "512"};
    const std::string report = testsupport::asUser(
        kUser, kGroup,
        [&] {
            write(evilConf, "script=touch " + marker.string() + "\n");
            write(oc("password.txt"), "pw\n", fs::perms(0600));
            write(ovpn("config.ovpn"), kConfig);
            std::ostringstream out;
            for (const auto& command : commands) {
                const bool sub = command[0] != "CMD_OPENCONNECT_START" && command[0] != "CMD_OVPN_START";
                for (size_t field = 1; field < command.size(); ++field) {
                    for (const std::string& v : values) {
                        const std::string value =
                            v == "511" || v == "512" ? paddedTo(command, field, std::stoul(v)) : v;
                        const std::string message = withField(command, field, value);
                        const std::string answer = sub && command[0] != "CMD_SCNETWORK"
                                                       ? converse({"CMD_SCNETWORK", message})
                                                       : converse({message});
                        // The designed answers: a refusal ("0", or nothing), a start ("1") that ends with
                        // the channel, "1" to CMD_SCNETWORK itself.
                        static const std::set<std::string> designed = {
                            "0;(eof);",           "(eof);",      "1;(eof);", "1;0;(eof);", "1;(eof);(eof);",
                            "1;(nothing);(eof);", "1;(nothing);"};
                        if (!designed.count(answer))
                            out << command[0] << " field " << field << ": " << answer << "\n";
                        // Options in any field of a start are refused outright.
                        if (!sub && v.rfind("--", 0) == 0 && answer != "0;(eof);")
                            out << command[0] << " field " << field << " " << v << ": " << answer << "\n";
                        // What openconnect wrote, where the user reads it (it is made anew each start).
                        if (readFile(oc("status.log")).find("root's secret") != std::string::npos)
                            out << command[0] << " field " << field << " " << v
                                << ": root's file in status.log\n";
                    }
                }
            }
            return out.str();
        },
        600s);
    EXPECT_EQ(report, "");
    EXPECT_FALSE(fs::exists(marker)) << "a process of the user's choosing ran as root";
    for (const std::string& f : {oc("status.log"), ovpn("ovpn.log"), (tmp / "helper.log").string()})
        EXPECT_EQ(readFile(f).find("root's secret"), std::string::npos) << f;
    EXPECT_EQ(("\n" + helperLog()).find("\nserver: forged line"), std::string::npos) << "a forged log line";
    EXPECT_TRUE(nothingRunsIn("openconnect"));
    EXPECT_TRUE(nothingRunsIn("OpenVPN"));
    EXPECT_TRUE(userServed());
}

// The files that config.ovpn names are read by the helper as the user's own plain files: a link, a
// FIFO or a second name of a root-only file is refused, and nothing of it reaches openvpn.
TEST_F(HostilePeer, FilesTheConfigurationNamesAreTheUsersOwnOrNothing) {
    if (delegated) return;
    const fs::path secret = target("secret", "root's secret\n");
    const fs::path hardLink = root / "OpenVPN" / "hard.crt";
    // Made by root: the user could not link a file of root's (protected hard links), but a file
    // that has two names is refused whoever made it.
    fs::create_hard_link(secret, hardLink);
    struct Row {
        std::string directive, file;
    } rows[] = {{"ca", "link"},
                {"cert", "fifo"},
                {"key", "hard.crt"},
                {"auth-user-pass", "link"},
                {"http-proxy 127.0.0.1 3128", "fifo"},
                {"tls-auth", "own-twice"},
                {"pkcs12", "dir/link"}};
    const std::string report = asUser([&] {
        fs::create_symlink(secret, ovpn("link"));
        fs::create_directories(ovpn("dir"));
        fs::create_symlink(secret, ovpn("dir/link"));
        mkfifo(ovpn("fifo").c_str(), 0600);
        write(ovpn("own"), "mine\n");
        fs::create_hard_link(ovpn("own"), ovpn("own-twice"));
        std::string out;
        for (const Row& row : rows) {
            write(ovpn("config.ovpn"), kConfig + row.directive + " " + row.file + "\n");
            std::string reply;
            const int fd = start(ovpnStart(), reply);
            out += row.directive + ":" + reply + receive(fd, 3s) + ";";
            close(fd);
        }
        return out;
    });
    EXPECT_EQ(report, "ca:0(eof);cert:0(eof);key:0(eof);auth-user-pass:0(eof);"
                      "http-proxy 127.0.0.1 3128:0(eof);tls-auth:0(eof);pkcs12:0(eof);");
    EXPECT_EQ(readFile(ovpn("ovpn.log")).find("root's secret"), std::string::npos);
    EXPECT_NE(helperLog().find("config.ovpn refused: ca link: a symbolic link"), std::string::npos)
        << helperLog();
    EXPECT_TRUE(nothingRunsIn("OpenVPN"));
    EXPECT_TRUE(userServed()) << "a FIFO must not hold the helper";
}

// Proxy credentials: the user's own file goes to the proxy (inline, as openvpn reads it); a link to
// a root-only file sends nothing.
TEST_F(HostilePeer, ProxyCredentialsComeOnlyFromTheUsersOwnFile) {
    if (delegated) return;
    const fs::path secret = target("secret", "rootuser\nrootpass\n");
    constexpr uint16_t kProxyPort = 17599;
    const std::string report = asUser([&] {
        const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(kProxyPort);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 4) != 0)
            return std::string("no proxy");
        const std::string proxied = "client\ndev null\nproto tcp-client\nremote 127.0.0.1 1\nauth-user-pass\n"
                                    "http-proxy 127.0.0.1 " +
                                    std::to_string(kProxyPort) +
                                    " creds.txt basic\n"
                                    "peer-fingerprint " +
                                    kConfig.substr(kConfig.find("00:"));
        std::string out;
        for (const bool linked : {true, false}) {
            fs::remove(ovpn("creds.txt"));
            if (linked)
                fs::create_symlink(secret, ovpn("creds.txt"));
            else
                write(ovpn("creds.txt"), "puser\nppass\n", fs::perms(0600));
            write(ovpn("config.ovpn"), proxied);
            std::string reply;
            const int fd = start(ovpnStart(), reply);
            out += reply + ":";
            const int m = reply == "1" ? connectManagement() : -1;
            for (const char* command : {"hold release\n", "username \"Auth\" u\n", "password \"Auth\" p\n"}) {
                if (m < 0) break;
                std::this_thread::sleep_for(300ms);
                sendLine(m, command);
            }
            pollfd p{s, POLLIN, 0};
            if (poll(&p, 1, 5000) > 0) {
                const int c = accept(s, nullptr, nullptr);
                std::string request; // openvpn writes the header lines one by one
                for (int i = 0; i < 20 && request.find("\r\n\r\n") == std::string::npos; ++i) {
                    const std::string piece = receive(c, 1s);
                    if (piece.front() == '(') break;
                    request += piece;
                }
                out += request;
                close(c);
            } else if (reply == "1") {
                out +=
                    "nothing heard; management " + std::to_string(m) + "; log: " + readFile(ovpn("ovpn.log"));
            }
            out += ";";
            if (m >= 0) close(m);
            close(fd);
            nothingRunsIn("OpenVPN");
        }
        close(s);
        return out;
    });
    EXPECT_EQ(report.find("cm9vdHVzZXI6cm9vdHBhc3M="), std::string::npos)
        << "root's credentials reached the proxy";
    EXPECT_EQ(report.rfind("0:;", 0), 0u) << report;
    // base64("puser:ppass"): the user's own credentials, read by the helper and put inline.
    EXPECT_NE(report.find("Proxy-Authorization: Basic cHVzZXI6cHBhc3M="), std::string::npos) << report;
}

TEST_F(HostilePeer, NoLocalPortBelow1024IsBoundForTheUser) {
    if (delegated) return;
    const std::string report = asUser([&] {
        write(ovpn("config.ovpn"), "client\ndev null\nproto udp\nremote 127.0.0.1 1\nlport 389\nbind\n" +
                                       kConfig.substr(kConfig.find("peer-fingerprint")));
        std::string reply;
        const int fd = start(ovpnStart(), reply);
        std::this_thread::sleep_for(1s);
        close(fd);
        return reply;
    });
    EXPECT_EQ(report, "0");
    // /proc/net/udp names local ports in hex: 389 is 0185.
    EXPECT_EQ(readFile("/proc/net/udp").find(":0185 "), std::string::npos);
    EXPECT_NE(helperLog().find("openvpn would bind local port 389"), std::string::npos) << helperLog();
}

// One user's idle connections, and a stranger's flood, cost others nothing and fill no log.
TEST_F(HostilePeer, IdleConnectionsAndFloodsDenyNobody) {
    if (delegated) return;
    int held[2];
    ASSERT_EQ(pipe(held), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        close(held[0]);
        if (setgroups(0, nullptr) != 0 || setgid(kGroup) != 0 || setuid(kUser) != 0) _exit(2);
        std::vector<int> fds;
        for (int i = 0; i < 70; ++i)
            fds.push_back(connectHelper());
        (void)!::write(held[1], "x", 1);
        std::this_thread::sleep_for(20s);
        _exit(0);
    }
    close(held[1]);
    char c;
    ASSERT_EQ(read(held[0], &c, 1), 1);
    close(held[0]);
    // The instances the holder got are refused or let go; root's request is served meanwhile.
    std::this_thread::sleep_for(2s);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(converse({"CMD_SCNETWORK", "GET_VER"}), "1;240;(eof);");
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s) << "root waited for the user's idle connections";
    EXPECT_TRUE(waitFor([&] { return userServed(); }, 15s))
        << "idle instances are let go after a few seconds";
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);

    const auto floodStart = std::chrono::steady_clock::now();
    const std::string flood = testsupport::asUser(kStranger, kStranger, [] {
        int refused = 0;
        for (int i = 0; i < 300; ++i)
            refused += converse({"CMD_SCNETWORK"}) == "(eof);" ? 1 : 0;
        return std::to_string(refused);
    });
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - floodStart);
    EXPECT_EQ(flood, "300");
    size_t lines = 0;
    std::istringstream log(helperLog());
    for (std::string line; std::getline(log, line);)
        lines += line.find("peer uid 65533 not allowed") != std::string::npos ? 1 : 0;
    EXPECT_LE(lines, static_cast<size_t>(seconds.count()) + 2) << "one line per second";
    EXPECT_GE(lines, 1u);
}

// What the user's other processes try, one row each, judged by effect.

// A root-only file mounted over the log (and the resolver copy) in the user's own namespaces, and
// the working folder named through /proc/PID/root, directly or by a link: root opens nothing there.
TEST_F(HostilePeer, AFileMountedInTheUsersNamespaceIsNeverOpenedByRoot) {
    if (delegated) return;
    const fs::path shadow = victim("shadow");
    const std::string report = asUser([&] {
        write(ovpn("config.ovpn"), kConfig);
        write(ovpn("ovpn.log"), "");
        write(ovpn("resolv.conf"), "");
        const pid_t holder = mountedInOwnNamespace(shadow, {ovpn("ovpn.log"), ovpn("resolv.conf")});
        if (holder < 0) return std::string("no namespaces");
        const std::string inside = "/proc/" + std::to_string(holder) + "/root";
        fs::create_directory_symlink(inside + (tmp / "home").string(), tmp / "home/via");
        std::string out;
        for (const fs::path& r :
             {fs::path(inside + root.string()), tmp / "home/via" / root.lexically_relative(tmp / "home")}) {
            std::string reply;
            const int fd = start("CMD_OVPN_START," + r.string(), reply);
            sendLine(fd, "cp /etc/resolv.conf \"" + r.string() + "/OpenVPN/\"");
            std::this_thread::sleep_for(1500ms);
            out += reply + ";";
            close(fd);
        }
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
        return out;
    });
    if (report == "no namespaces")
        GTEST_SKIP() << "users may not make namespaces here: nothing to attack with";
    EXPECT_EQ(report, "0;0;");
    EXPECT_EQ(readFile(shadow), "root's file\n");
    EXPECT_EQ(fs::status(shadow).permissions(), fs::perms(0600));
    EXPECT_TRUE(nothingRunsIn("OpenVPN"));
}

// A key named inside a <connection> block: a link to root's key is not read, the user's own goes
// inline, and no key byte reaches the log however verbose the configuration asks it to be.
TEST_F(HostilePeer, KeysNamedInConnectionBlocksAreReadAsTheUsersOwn) {
    if (delegated) return;
    const fs::path rootKey = victim("ta.key", staticKey("5a"));
    const std::string report = asUser([&] {
        fs::create_symlink(rootKey, ovpn("link.key"));
        write(ovpn("own.key"), staticKey("a5"), fs::perms(0600));
        std::string out;
        for (const char* key : {"link.key", "own.key"}) {
            write(ovpn("config.ovpn"), kConfig + "verb 11\n<connection>\nremote 127.0.0.1 1\ntls-auth " +
                                           key + " 1\n</connection>\n");
            std::string reply;
            const int fd = start(ovpnStart(), reply);
            if (reply == "1") releaseHold();
            out += reply + ";";
            close(fd);
            nothingRunsIn("OpenVPN");
        }
        return out;
    });
    EXPECT_EQ(report, "0;1;");
    const std::string log = readFile(ovpn("ovpn.log"));
    EXPECT_EQ(log.find("Options error"), std::string::npos) << log;
    for (const std::string& f : {ovpn("ovpn.log"), (tmp / "helper.log").string()}) {
        EXPECT_EQ(packed(readFile(f)).find("5a5a5a5a5a5a5a5a"), std::string::npos) << f << ": root's key";
        EXPECT_EQ(packed(readFile(f)).find("a5a5a5a5a5a5a5a5"), std::string::npos) << f << ": a key logged";
    }
}

// openvpn is a client here: no server mode, and no listening port below 1024, in any spelling.
TEST_F(HostilePeer, OpenVpnNeverServesOrListensOnAPrivilegedPort) {
    if (delegated) return;
    const std::string fingerprint = kConfig.substr(kConfig.find("peer-fingerprint"));
    const std::string report = asUser([&] {
        std::string out;
        for (const std::string& config :
             {"dev null\nproto tcp-server\nport 80\n" + fingerprint,
              "dev null\nlport 81\n<connection>\nremote 127.0.0.1 1 tcp4-server\n</connection>\n" +
                  fingerprint,
              "dev null\nmode server\ntls-server\nproto tcp\nport 82\n" + fingerprint}) {
            write(ovpn("config.ovpn"), config);
            std::string reply;
            const int fd = start(ovpnStart(), reply);
            if (reply == "1") releaseHold();
            out += reply + privilegedListeners() + ";";
            close(fd);
            nothingRunsIn("OpenVPN");
        }
        return out;
    });
    EXPECT_EQ(report, "0;0;0;");
}

// The shared L2TP service: one user's removal takes only that user's secrets; the service stays
// for the other until the other removes it too.
TEST_F(HostilePeer, OneUsersRemovalLeavesAnotherUsersSecrets) {
    if (delegated) return;
    const std::string setKey =
        "SET_KEY,(null),/opt/TavroVPN,10.9.8.7,other1,otherpass,TRUE,none,none,0,1,859";
    subCommandAs(kOther, setKey);
    const std::string id = provisionedService();
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(subCommandAs(kUser, "REMOVE_PREF," + id), "1;(eof);");
    EXPECT_EQ(subCommandAs(kOther, "GET_PASSWD_SZ," + id), "1;otherpass;(eof);");
    EXPECT_EQ(subCommandAs(kOther, "GET_USER_SZ," + id), "1;other1;(eof);");
    EXPECT_EQ(provisionedService(), id);
    subCommandAs(kOther, "REMOVE_PREF," + id);
    EXPECT_EQ(provisionedService(), "");
}

// The L2TP leak block is lifted only by the down of the profile that put it in force, on its own
// interface: another connection of the same name, or another interface, leaves it in place.
TEST_F(HostilePeer, TheL2tpBlockIsLiftedOnlyByItsOwnProfile) {
    if (delegated) return;
    subCommandAs(kUser, "SET_KEY,(null),/opt/TavroVPN,10.9.8.7,user1,pass1,TRUE,none,none,0,1,859");
    const std::string id = provisionedService();
    ASSERT_FALSE(id.empty());
    const std::string script = testsupport::leakDispatcherScript();
    ASSERT_FALSE(script.empty());
    std::ofstream(tmp / "dispatch.sh") << script;
    const auto dispatch = [&](const std::string& uuid, const std::string& iface, const std::string& action) {
        testsupport::commandOutput("CONNECTION_ID=TavroVPN CONNECTION_UUID=" +
                                   testsupport::shellQuoted(uuid) + " VPN_IP_IFACE=" + iface + " sh " +
                                   (tmp / "dispatch.sh").string() + " " + iface + " " + action + " 2>&1");
        return leakBlock().find("oifname \"ppp7\" accept") != std::string::npos ? "blocked" : "open";
    };
    EXPECT_EQ(dispatch(id, "ppp7", "vpn-up"), "blocked");
    EXPECT_EQ(dispatch("9e8d7c6b-5a49-4837-a625-1403f2e1d0c9", "ppp8", "vpn-down"), "blocked")
        << "a stranger";
    EXPECT_EQ(dispatch(id, "ppp8", "vpn-down"), "blocked") << "another interface";
    EXPECT_EQ(dispatch(id, "ppp7", "vpn-down"), "open");
}

// Two users' tunnels: while one user's tunnel is up with its leak block, another user's start is
// refused, and neither its start nor its end lifts the block.
TEST_F(HostilePeer, AnotherUsersTunnelNeitherReplacesNorLiftsTheBlock) {
    if (delegated) return;
    const fs::path otherRoot = tmp / "other";
    fs::create_directories(otherRoot / "OpenVPN");
    for (const fs::path& p : {otherRoot, otherRoot / "OpenVPN"})
        chown(p.c_str(), kOther, kOther);
    testsupport::asUser(kOther, kOther, [&] {
        write(otherRoot / "OpenVPN/config.ovpn", kConfig);
        return std::string();
    });
    int held[2];
    ASSERT_EQ(pipe(held), 0);
    const pid_t user = fork();
    if (user == 0) {
        close(held[0]);
        if (setgroups(0, nullptr) != 0 || setgid(kGroup) != 0 || setuid(kUser) != 0) _exit(2);
        write(ovpn("config.ovpn"), kConfig);
        std::string reply;
        const int fd = start(ovpnStart(), reply);
        (void)!::write(held[1], reply.data(), reply.size());
        std::this_thread::sleep_for(30s);
        close(fd);
        _exit(0);
    }
    close(held[1]);
    char reply = 0;
    ASSERT_EQ(read(held[0], &reply, 1), 1);
    close(held[0]);
    ASSERT_EQ(reply, '1');
    // The user's tunnel puts its block in force, as its routing script's connect step does.
    std::string owner;
    for (const auto& e : fs::directory_iterator(env("TAVROVPN_DNS_STATE_DIR") + "/tunnels")) {
        std::istringstream record(readFile(e.path()));
        std::string word, pid, start;
        record >> word >> pid >> start;
        if (word == "helper") owner = pid + " " + start + " " + std::to_string(kUser);
    }
    ASSERT_FALSE(owner.empty());
    testsupport::commandOutput("TAVROVPN_TUNNEL_OWNER='" + owner + "' " + env("TAVROVPN_BINARY_DIR") +
                               "/helper/tvapphelper --leak-block openconnect tun9 127.0.0.2");
    ASSERT_NE(leakBlock().find("oifname \"tun9\" accept"), std::string::npos);

    const std::string other = testsupport::asUser(kOther, kOther, [&] {
        std::string r;
        const int fd = start("CMD_OVPN_START," + otherRoot.string(), r);
        std::this_thread::sleep_for(1s);
        close(fd);
        return r;
    });
    EXPECT_EQ(other, "0");
    std::this_thread::sleep_for(1s);
    EXPECT_NE(leakBlock().find("oifname \"tun9\" accept"), std::string::npos) << "the block was lifted";
    kill(user, SIGKILL);
    waitpid(user, nullptr, 0);
    EXPECT_TRUE(waitFor([&] { return leakBlock().empty(); }, 15s)) << "the block outlived its tunnel";
    EXPECT_TRUE(nothingRunsIn("OpenVPN"));
}
