#include "HelperHarness.h"

#include "helper/socketsrv.h"
#include "platform/Task.h"

#include <csignal>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace harness;
namespace fs = std::filesystem;

namespace {

// A root path with a space, as the Application Support folder has, and the helper's program copies.
struct AppRoot {
    TempDir dir;
    ProgramCopies programs;
    std::string root = dir.path + "/Application Support/tavrovpn";
    AppRoot() {
        fs::create_directories(root + "/openconnect");
        fs::create_directories(root + "/OpenVPN");
        writeFile(root + "/openconnect/password.txt", "s3cret\n", 0600);
        writeFile(root + "/OpenVPN/config.ovpn", "client\ndev tun\nremote 127.0.0.1 1194\n");
        programs.write("openconnect/vpnc-script-wrapper", "#!/bin/sh\n");
    }
    std::string oc(const std::string& name) const { return root + "/openconnect/" + name; }
    std::string ovpn(const std::string& name) const { return root + "/OpenVPN/" + name; }
};

// Records argv, stdin and its pid, writes to both streams, then stays until HUP (at most 30 s).
const char* kFakeOpenConnect = "#!/bin/bash\n"
                               "printf '%s\\n' \"$@\" > argv.txt\n"
                               "cat > stdin.txt\n"
                               "echo $$ > self.pid\n"
                               "echo 'Configured as 10.77.1.30'\n"
                               "echo 'POST https://h/' >&2\n"
                               "trap 'exit 0' HUP\n"
                               "for i in $(seq 300); do sleep 0.1; done\n";

// Records argv, cwd, pid and the configuration it was handed, writes to the log it was handed, and
// leaves on SIGTERM.
// The trap comes first: the tests signal it as soon as self.pid appears.
std::string fakeOpenVpn(bool ignoreTerm) {
    return std::string("#!/bin/bash\n") +
           (ignoreTerm ? "trap '' TERM\n" : "trap 'echo term > got_term; exit 0' TERM\n") +
           "printf '%s\\n' \"$@\" > argv.txt\n"
           "pwd > cwd.txt\n"
           "cat /dev/fd/$TAVROVPN_CONFIG_FD > config-read.txt\n"
           "echo started > /dev/fd/$TAVROVPN_LOG_FD\n"
           "echo $$ > self.pid\n"
           "for i in $(seq 300); do sleep 0.1; done\n";
}

pid_t readPid(const std::string& path) {
    std::string text = readFile(path);
    return text.empty() ? -1 : static_cast<pid_t>(std::stol(text));
}

void stopIfAlive(pid_t pid) {
    if (pid > 0 && platform::processAlive(pid)) kill(pid, SIGKILL);
}

} // namespace

TEST(ExecOpenConnect, StartsTheHelpersCopyWithThePasswordFileAndItsOutputInStatusLog) {
    AppRoot r;
    r.programs.write("openconnect/openconnect", kFakeOpenConnect);
    // The working folder's own openconnect is the user's to change: it never runs as root.
    const std::string pwned = r.dir.path + "/pwned";
    writeFile(r.oc("openconnect"), "#!/bin/sh\ntouch \"" + pwned + "\"\n", 0755);
    // Stale files from an earlier attempt, as symlinks: written through, they would land elsewhere.
    const std::string elsewhere = r.dir.path + "/elsewhere";
    writeFile(elsewhere, "");
    fs::create_symlink(elsewhere, r.oc("status.log"));
    fs::create_symlink(elsewhere, r.oc("childpid"));

    auto task = execOPENCONNECT(r.root, "a", "https://127.0.0.1:443/", "P+/=", helper::Credentials{});
    ASSERT_TRUE(task);
    EXPECT_TRUE(task->isRunning()); // the task is openconnect itself, in the background
    ASSERT_TRUE(waitForFile(r.oc("self.pid")));
    pid_t pid = readPid(r.oc("self.pid"));
    EXPECT_EQ(pid, task->processIdentifier());

    EXPECT_EQ(readFile(r.oc("argv.txt")),
              "-u\na\n--passwd-on-stdin\n--no-dtls\n--servercert\npin-sha256:P+/=\nhttps://127.0.0.1:443/\n");
    EXPECT_EQ(readFile(r.oc("stdin.txt")), "s3cret\n");
    EXPECT_FALSE(fs::exists(r.oc("password.txt"))) << "the password stays on disk";
    EXPECT_EQ(readPid(r.oc("childpid")), pid); // childpid names openconnect itself
    EXPECT_FALSE(fs::is_symlink(r.oc("status.log")));
    EXPECT_FALSE(fs::is_symlink(r.oc("childpid")));
    EXPECT_EQ(readFile(elsewhere), "");
    EXPECT_FALSE(fs::exists(pwned));
    for (int i = 0; i < 100 && readFile(r.oc("status.log")).find("POST") == std::string::npos; ++i)
        usleep(20000);
    std::string status = readFile(r.oc("status.log"));
    EXPECT_NE(status.find("Configured as 10.77.1.30"), std::string::npos) << status;
    EXPECT_NE(status.find("POST https://h/"), std::string::npos) << status;

    // The designed stop line works on what childpid holds.
    std::string stop = "kill -HUP $(cat \"" + r.oc("childpid") + "\")";
    EXPECT_EQ(system(stop.c_str()), 0);
    EXPECT_TRUE(task->waitUntilExit(2s));
    stopIfAlive(pid);
}

TEST(ExecOpenConnect, HostileFieldsReachOpenconnectAsPlainArguments) {
    AppRoot r;
    r.programs.write("openconnect/openconnect", "#!/bin/bash\nprintf '%s\\n' \"$@\" > argv.txt\n");
    const std::string pwned = r.dir.path + "/pwned";
    const std::string user = "a;touch " + pwned;
    const std::string url = "https://h/$(touch " + pwned + ")";
    const std::string pin = "x' `touch " + pwned + "` '";
    auto task = execOPENCONNECT(r.root, user, url, pin, helper::Credentials{});
    ASSERT_TRUE(task);
    ASSERT_TRUE(waitForFile(r.oc("argv.txt")));
    usleep(100000);
    EXPECT_FALSE(fs::exists(pwned));
    EXPECT_EQ(readFile(r.oc("argv.txt")),
              "-u\n" + user + "\n--passwd-on-stdin\n--no-dtls\n--servercert\npin-sha256:" + pin + "\n" + url +
                  "\n");
}

TEST(ExecOvpn, LaunchesTheHelpersCopyWithTheElevenArgumentsTheCheckedConfigAndAReadableLog) {
    AppRoot r;
    r.programs.write("OpenVPN/openvpn", fakeOpenVpn(false));
    const std::string pwned = r.dir.path + "/pwned";
    writeFile(r.ovpn("openvpn"), "#!/bin/sh\ntouch \"" + pwned + "\"\n", 0755);
    ForkedHelper helper(r.dir.path);
    int fd = connectTo(helper.socketPath());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendText(fd, std::string("CMD_OVPN_START,") + r.root + '\0'));
    ASSERT_EQ(recvOnce(fd), "1");
    ASSERT_TRUE(waitForFile(r.ovpn("self.pid")));
    pid_t pid = readPid(r.ovpn("self.pid"));

    EXPECT_EQ(readFile(r.ovpn("argv.txt")), "--config\n./config.ovpn\n--management\n127.0.0.1\n17505\n"
                                            "--management-hold\n--management-query-passwords\n--auth-retry\n"
                                            "interact\n--log\n./ovpn.log\n");
    EXPECT_EQ(readFile(r.ovpn("cwd.txt")), r.root + "/OpenVPN\n");
    ASSERT_TRUE(waitForFile(r.ovpn("config-read.txt")));
    usleep(50000);
    EXPECT_EQ(readFile(r.ovpn("config-read.txt")), "client\ndev tun\nremote 127.0.0.1 1194\npersist-tun\n");
    EXPECT_EQ(readFile(r.ovpn("ovpn.log")), "started\n");
    struct stat st {};
    ASSERT_EQ(stat(r.ovpn("ovpn.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_FALSE(fs::exists(pwned));

    // The channel runs the tunnel lines while openvpn runs; closing it ends openvpn and the helper.
    ASSERT_TRUE(sendText(fd, "cp /etc/resolv.conf \"" + r.root + "/OpenVPN/\""));
    EXPECT_TRUE(waitForFile(r.ovpn("resolv.conf")));
    EXPECT_TRUE(platform::processAlive(pid));
    close(fd);
    ASSERT_TRUE(helper.waitExit(10s));
    EXPECT_TRUE(fs::exists(r.ovpn("got_term")));
    EXPECT_FALSE(platform::processAlive(pid));
    std::string log = helper.log();
    EXPECT_NE(log.find("chg mode log:chmod 755 \"" + r.root + "/OpenVPN/ovpn.log\""), std::string::npos)
        << log;
    EXPECT_NE(log.find("executablePath:" + r.root + "/OpenVPN/openvpn"), std::string::npos);
    EXPECT_NE(log.find("running the helper's own copy: " + r.programs.path("OpenVPN/openvpn")),
              std::string::npos)
        << log;
    EXPECT_NE(
        log.find("task terminate.\nserver: close accept socket\nserver: close server socket\nserver: end"),
        std::string::npos)
        << log;
    stopIfAlive(pid);
}

TEST(ExecOvpn, AnOpenvpnIgnoringSigtermIsKilledAndReaped) {
    AppRoot r;
    r.programs.write("OpenVPN/openvpn", fakeOpenVpn(true));
    ForkedHelper helper(r.dir.path);
    int fd = connectTo(helper.socketPath());
    ASSERT_TRUE(sendText(fd, "CMD_OVPN_START," + r.root));
    ASSERT_EQ(recvOnce(fd), "1");
    ASSERT_TRUE(waitForFile(r.ovpn("self.pid")));
    pid_t pid = readPid(r.ovpn("self.pid"));
    close(fd);
    ASSERT_TRUE(helper.waitExit(15s));
    EXPECT_FALSE(platform::processAlive(pid));
    EXPECT_NE(helper.log().find("task kill."), std::string::npos);
    stopIfAlive(pid);
}

TEST(ExecOvpn, StoppingTheHelperStopsOpenvpnToo) {
    AppRoot r;
    r.programs.write("OpenVPN/openvpn", fakeOpenVpn(false));
    ForkedHelper helper(r.dir.path);
    int fd = connectTo(helper.socketPath());
    ASSERT_TRUE(sendText(fd, "CMD_OVPN_START," + r.root));
    ASSERT_EQ(recvOnce(fd), "1");
    ASSERT_TRUE(waitForFile(r.ovpn("self.pid")));
    pid_t pid = readPid(r.ovpn("self.pid"));
    kill(helper.pid(), SIGTERM); // the service manager or the supervisor stopping the helper
    ASSERT_TRUE(helper.waitExit(10s));
    EXPECT_EQ(helper.exitCode(), 0);
    EXPECT_TRUE(fs::exists(r.ovpn("got_term")));
    EXPECT_FALSE(platform::processAlive(pid));
    close(fd);
    stopIfAlive(pid);
}

TEST(ExecOvpn, RefusedConfigurationsLogsAndCopiesStartNothing) {
    struct Case {
        const char* what;
        std::function<void(const AppRoot&)> plant;
        std::string logLine;
    } cases[] = {
        {"script directive",
         [](const AppRoot& r) {
             writeFile(r.ovpn("config.ovpn"),
                       "client\nremote 127.0.0.1 1194\nscript-security 2\nup /bin/sh\n");
         },
         "config.ovpn refused: script-security above 1 (line 3)"},
        {"config.ovpn linked elsewhere",
         [](const AppRoot& r) {
             writeFile(r.dir.path + "/other.ovpn", "client\n");
             fs::remove(r.ovpn("config.ovpn"));
             fs::create_symlink(r.dir.path + "/other.ovpn", r.ovpn("config.ovpn"));
         },
         "config.ovpn refused: a symbolic link"},
        {"ovpn.log a folder that cannot be made a fresh file",
         [](const AppRoot& r) { fs::create_directory(r.ovpn("ovpn.log")); }, "ovpn.log refused: "},
        {"copy writable by others",
         [](const AppRoot& r) { chmod(r.programs.path("OpenVPN/openvpn").c_str(), 0777); },
         "is writable by a user other than root)"},
        {"copy missing", [](const AppRoot& r) { fs::remove(r.programs.path("OpenVPN/openvpn")); },
         "OpenVPN/openvpn (missing)"},
    };
    for (const Case& k : cases) {
        AppRoot r;
        r.programs.write("OpenVPN/openvpn", fakeOpenVpn(false));
        writeFile(r.dir.path + "/root-only", "keep\n", 0600);
        k.plant(r);
        ForkedHelper helper(r.dir.path);
        int fd = connectTo(helper.socketPath());
        ASSERT_TRUE(sendText(fd, "CMD_OVPN_START," + r.root));
        EXPECT_EQ(recvOnce(fd), "0") << k.what;
        EXPECT_TRUE(closedByPeer(fd)) << k.what;
        close(fd);
        ASSERT_TRUE(helper.waitExit());
        EXPECT_EQ(helper.exitCode(), 0);
        EXPECT_FALSE(fs::exists(r.ovpn("argv.txt"))) << k.what;
        EXPECT_EQ(readFile(r.dir.path + "/root-only"), "keep\n") << k.what;
        EXPECT_NE(helper.log().find(k.logLine), std::string::npos) << k.what << "\n" << helper.log();
    }
}
