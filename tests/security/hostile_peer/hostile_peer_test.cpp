// A hostile process running as the user the helper serves tries to get root through the real
// helper under the real supervisor, with the real openvpn, openconnect and set-dns.sh copies. Each
// attempt is judged by its effect: root-only files untouched, nothing run as root from the user's
// folder, no credentials for a listener the user put on the management port. Root only; each test
// in its own process inside a private mount namespace with /etc overlaid (set-dns.sh switches it).
#include "AsUser.h"
#include "HelperUnderSupervisor.h"
#include "PrivateEtc.h"
#include "ProcessUtil.h"
#include "app/channels/helpersocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::readFile;
using testsupport::waitFor;

constexpr uid_t kUser = 65534; // nobody: the user the helper was installed for, here
constexpr gid_t kGroup = 65534;

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
        ASSERT_TRUE(testsupport::launchHelperUnderSupervisor(supervisor, tmp,
                                                             bin / "tools/supervisor/tvapphelper-supervise",
                                                             bin / "helper/tvapphelper", {}, {kUser}));
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
    std::string ovpn(const std::string& name) const { return (root / "OpenVPN" / name).string(); }
    std::string oc(const std::string& name) const { return (root / "openconnect" / name).string(); }
    std::string ovpnStart() const { return "CMD_OVPN_START," + root.string(); }
    std::string ocStart() const {
        return "CMD_OPENCONNECT_START," + root.string() + ",tb000001,https://127.0.0.1:1/,PIN";
    }
    std::string setDns() const { return "\"" + root.string() + "/OpenVPN/set-dns.sh\" "; }
    std::string asUser(const std::function<std::string()>& fn) const {
        return testsupport::asUser(kUser, kGroup, fn);
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
        out += reply + receive(fd) + ";";
        close(fd);
        fs::remove(ovpn("ovpn.log"));
        fd = start(ovpnStart(), reply);
        out += reply + ";";
        fs::create_symlink(resolv, ovpn("resolv.conf"));
        sendLine(fd, "cp /etc/resolv.conf \"" + root.string() + "/OpenVPN/\"");
        std::this_thread::sleep_for(1s);
        close(fd);
        return out;
    });
    EXPECT_EQ(report, "0(eof);1;0(eof);1;");
    for (const fs::path& p : {status, childpid, log, resolv})
        EXPECT_EQ(readFile(p), "untouched\n") << p;
    EXPECT_EQ(readFile(secret), "root's secret\n");
    // What root wrote went into fresh plain files of the folder.
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(oc("status.log"))));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(oc("childpid"))));
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
