#include "HelperHarness.h"

#include "helper/socketsrv.h"
#include "platform/Task.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace harness;
namespace fs = std::filesystem;

namespace {

// A root path with a space, as the Application Support folder has.
struct AppRoot {
    TempDir dir;
    std::string root = dir.path + "/Application Support/tavrovpn";
    AppRoot() {
        fs::create_directories(root + "/openconnect");
        fs::create_directories(root + "/OpenVPN");
        writeFile(root + "/openconnect/password.txt", "s3cret\n", 0600);
        writeFile(root + "/OpenVPN/config.ovpn", "client\ndev tun\nremote 127.0.0.1 1194\n");
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

// Records argv, cwd and pid, creates its log readable by root only, and leaves on SIGTERM.
std::string fakeOpenVpn(bool ignoreTerm) {
    return std::string("#!/bin/bash\n"
                       "printf '%s\\n' \"$@\" > argv.txt\n"
                       "pwd > cwd.txt\n"
                       "echo $$ > self.pid\n"
                       "(umask 077; : > ovpn.log)\n") +
           (ignoreTerm ? "trap '' TERM\n" : "trap 'echo term > got_term; exit 0' TERM\n") +
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

TEST(ExecOpenConnect, RunsTheDesignedLineInBashWithOutputInStatusLog) {
    AppRoot r;
    writeFile(r.oc("openconnect"), kFakeOpenConnect, 0755);
    // Stale files from an earlier attempt, as symlinks: written through, they would land elsewhere.
    const std::string elsewhere = r.dir.path + "/elsewhere";
    writeFile(elsewhere, "");
    fs::create_symlink(elsewhere, r.oc("status.log"));
    fs::create_symlink(elsewhere, r.oc("childpid"));

    auto task = execOPENCONNECT(r.root, "a", "https://127.0.0.1:443/", "P+/=");
    ASSERT_TRUE(task);
    EXPECT_FALSE(task->isRunning()); // the shell returned once openconnect was in the background
    ASSERT_TRUE(waitForFile(r.oc("self.pid")));
    pid_t pid = readPid(r.oc("self.pid"));
    EXPECT_TRUE(platform::processAlive(pid));

    EXPECT_EQ(readFile(r.oc("argv.txt")),
              "-u\na\n--passwd-on-stdin\n--no-dtls\n--servercert\npin-sha256:P+/=\nhttps://127.0.0.1:443/\n");
    EXPECT_EQ(readFile(r.oc("stdin.txt")), "s3cret\n");
    EXPECT_EQ(readPid(r.oc("childpid")), pid); // childpid names openconnect itself
    EXPECT_FALSE(fs::is_symlink(r.oc("status.log")));
    EXPECT_EQ(readFile(elsewhere), "");
    for (int i = 0; i < 100 && readFile(r.oc("status.log")).find("POST") == std::string::npos; ++i)
        usleep(20000);
    std::string status = readFile(r.oc("status.log"));
    EXPECT_NE(status.find("Configured as 10.77.1.30"), std::string::npos) << status;
    EXPECT_NE(status.find("POST https://h/"), std::string::npos) << status;

    // The designed stop line works on what childpid holds.
    std::string stop = "kill -HUP $(cat \"" + r.oc("childpid") + "\")";
    EXPECT_EQ(system(stop.c_str()), 0);
    for (int i = 0; i < 200 && platform::processAlive(pid); ++i)
        usleep(10000);
    EXPECT_FALSE(platform::processAlive(pid));
    stopIfAlive(pid);
}

TEST(ExecOpenConnect, HostileFieldsReachOpenconnectAsPlainArguments) {
    AppRoot r;
    writeFile(r.oc("openconnect"), "#!/bin/bash\nprintf '%s\\n' \"$@\" > argv.txt\n", 0755);
    const std::string pwned = r.dir.path + "/pwned";
    const std::string user = "a;touch " + pwned;
    const std::string url = "https://h/$(touch " + pwned + ")";
    const std::string pin = "x' `touch " + pwned + "` '";
    auto task = execOPENCONNECT(r.root, user, url, pin);
    ASSERT_TRUE(task);
    ASSERT_TRUE(waitForFile(r.oc("argv.txt")));
    usleep(100000);
    EXPECT_FALSE(fs::exists(pwned));
    EXPECT_EQ(readFile(r.oc("argv.txt")),
              "-u\n" + user + "\n--passwd-on-stdin\n--no-dtls\n--servercert\npin-sha256:" + pin + "\n" + url +
                  "\n");
}

TEST(ExecOvpn, LaunchesWithTheElevenArgumentsAndMakesTheLogReadable) {
    AppRoot r;
    writeFile(r.ovpn("openvpn"), fakeOpenVpn(false), 0755);
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
    struct stat st {};
    ASSERT_EQ(stat(r.ovpn("ovpn.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);

    // The channel runs lines while openvpn runs; closing it ends openvpn and the helper.
    ASSERT_TRUE(sendText(fd, "touch \"" + r.dir.path + "/line-ran\""));
    EXPECT_TRUE(waitForFile(r.dir.path + "/line-ran"));
    EXPECT_TRUE(platform::processAlive(pid));
    close(fd);
    ASSERT_TRUE(helper.waitExit(10s));
    EXPECT_TRUE(fs::exists(r.ovpn("got_term")));
    EXPECT_FALSE(platform::processAlive(pid));
    std::string log = helper.log();
    EXPECT_NE(log.find("chg mode log:chmod 755 \"" + r.root + "/OpenVPN/ovpn.log\""), std::string::npos)
        << log;
    EXPECT_NE(log.find("executablePath:" + r.root + "/OpenVPN/openvpn"), std::string::npos);
    EXPECT_NE(
        log.find("task terminate.\nserver: close accept socket\nserver: close server socket\nserver: end"),
        std::string::npos)
        << log;
    stopIfAlive(pid);
}

TEST(ExecOvpn, AnOpenvpnIgnoringSigtermIsKilledAndReaped) {
    AppRoot r;
    writeFile(r.ovpn("openvpn"), fakeOpenVpn(true), 0755);
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
    writeFile(r.ovpn("openvpn"), fakeOpenVpn(false), 0755);
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

TEST(ExecOvpn, ScriptDirectivesAreRefusedBeforeAnythingStarts) {
    AppRoot r;
    writeFile(r.ovpn("openvpn"), fakeOpenVpn(false), 0755);
    writeFile(r.ovpn("config.ovpn"), "client\nremote 127.0.0.1 1194\nscript-security 2\nup /bin/sh\n");
    ForkedHelper helper(r.dir.path);
    int fd = connectTo(helper.socketPath());
    ASSERT_TRUE(sendText(fd, "CMD_OVPN_START," + r.root));
    EXPECT_EQ(recvOnce(fd), "0");
    EXPECT_TRUE(closedByPeer(fd));
    close(fd);
    ASSERT_TRUE(helper.waitExit());
    EXPECT_FALSE(fs::exists(r.ovpn("argv.txt")));
    EXPECT_NE(helper.log().find("config.ovpn refused: script-security above 1 (line 3)"), std::string::npos)
        << helper.log();
}

TEST(ExecOvpn, AMissingProgramDoesNotEndTheHelperAbnormally) {
    AppRoot r; // no OpenVPN/openvpn
    ForkedHelper helper(r.dir.path);
    int fd = connectTo(helper.socketPath());
    ASSERT_TRUE(sendText(fd, "CMD_OVPN_START," + r.root));
    EXPECT_EQ(recvOnce(fd), "0");
    close(fd);
    ASSERT_TRUE(helper.waitExit());
    EXPECT_EQ(helper.exitCode(), 0);
    EXPECT_NE(helper.log().find("server: end"), std::string::npos);
}
