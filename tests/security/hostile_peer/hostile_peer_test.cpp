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

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <set>
#include <sstream>
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
