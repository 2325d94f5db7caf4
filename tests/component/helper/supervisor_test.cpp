// The helper as the service manager runs it: one instance per connection, handed over by the
// supervisor or by systemd's socket activation (systemd-socket-activate --accept stands in for a
// socket unit where systemd does not run).
#include "HelperHarness.h"

#include "platform/Task.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace harness;

namespace {

// The live children of a process (the helper instances of a supervisor).
std::set<pid_t> childrenOf(pid_t parent) {
    std::set<pid_t> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = readFile(e.path().string() + "/stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        long ppid = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %ld", &state, &ppid) == 2 && ppid == parent &&
            state != 'Z')
            out.insert(static_cast<pid_t>(std::stol(name)));
    }
    return out;
}

// Stops the service even when an assertion ends the test early.
struct StopAtEnd {
    platform::Task& task;
    ~StopAtEnd() {
        if (!task.isRunning()) return;
        task.terminate();
        if (!task.waitUntilExit(10s)) {
            task.kill();
            task.waitUntilExit(5s);
        }
    }
};

std::string supervisePath() {
    return buildDir() + "/tools/supervisor/tvapphelper-supervise";
}

// The helper's socket served either way, its allow file listing root only.
struct Service {
    enum Kind { Supervised, SocketActivated };
    TempDir dir;
    std::string socket = dir.path + "/helper.ipc";
    platform::Task task;
    StopAtEnd stop{task};

    explicit Service(Kind kind) {
        writeFile(dir.path + "/allow", "0\n", 0644);
        setenv("TVAPPHELPER_ALLOW_FILE", (dir.path + "/allow").c_str(), 1);
        // The helper's run-time state (its instance limits) stays in the scratch folder too.
        setenv("TAVROVPN_DNS_STATE_DIR", (dir.path + "/run").c_str(), 1);
        const std::string helper = buildDir() + "/helper/tvapphelper";
        if (kind == Supervised) {
            task.launchPath = supervisePath();
            task.arguments = {"--socket", socket, "--pidfile", dir.path + "/supervise.pid", "--", helper};
        } else {
            task.launchPath = "/usr/bin/systemd-socket-activate";
            task.arguments = {
                "--accept", "-l", socket, "-E", "TVAPPHELPER_ALLOW_FILE", "-E", "TAVROVPN_DNS_STATE_DIR",
                helper};
            task.standardError = platform::Task::Stdio::Null;
        }
        launched = task.launch() && waitForFile(socket);
        unsetenv("TVAPPHELPER_ALLOW_FILE");
        unsetenv("TAVROVPN_DNS_STATE_DIR");
    }
    bool launched = false;
};

bool haveSocketActivate() {
    return access("/usr/bin/systemd-socket-activate", X_OK) == 0;
}

// A client as the user nobody that connects and then stays without a word until it is ended.
struct SilentStranger {
    pid_t pid = -1;
    explicit SilentStranger(const std::string& socketPath) {
        pid = fork();
        if (pid == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
            const int fd = connectTo(socketPath, 2s);
            sleep(10);
            _exit(fd >= 0 ? 0 : 1);
        }
    }
    ~SilentStranger() {
        if (pid <= 0) return;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

} // namespace

TEST(Supervisor, StartsOneHelperPerConnectionAndStopsThemOnSigterm) {
    Service s(Service::Supervised);
    ASSERT_TRUE(s.launched) << std::strerror(errno) << " " << s.task.launchPath;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(getVerExchange(s.socket, 2s), "1,240|eof") << "connection " << i;
    ASSERT_TRUE(waitForFile(s.dir.path + "/supervise.pid"));
    EXPECT_EQ(readFile(s.dir.path + "/supervise.pid"), std::to_string(s.task.processIdentifier()) + "\n");
    struct stat st {};
    ASSERT_EQ(stat(s.socket.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0766u);

    // Three connections at once, each waiting for its sub-command: three helpers serve them.
    std::vector<int> open;
    for (int i = 0; i < 3; ++i) {
        int fd = connectTo(s.socket, 5s);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(sendText(fd, std::string("CMD_SCNETWORK", 14)));
        EXPECT_EQ(recvOnce(fd), "1");
        open.push_back(fd);
    }
    const pid_t sup = s.task.processIdentifier();
    const std::set<pid_t> serving = childrenOf(sup);
    EXPECT_EQ(serving.size(), 3u);

    // Helpers still serving end with the supervisor, and their clients see the end.
    s.task.terminate();
    ASSERT_TRUE(s.task.waitUntilExit(10s));
    EXPECT_EQ(s.task.terminationStatus(), 0);
    for (pid_t pid : serving)
        EXPECT_FALSE(platform::processAlive(pid));
    for (int fd : open) {
        EXPECT_TRUE(closedByPeer(fd, 2s));
        close(fd);
    }
    EXPECT_FALSE(std::filesystem::exists(s.dir.path + "/supervise.pid"));
    EXPECT_FALSE(std::filesystem::exists(s.socket));
    EXPECT_LT(connectTo(s.socket, 200ms), 0);
}

TEST(Supervisor, ExplainsItsUsage) {
    platform::Task sup;
    sup.launchPath = supervisePath();
    sup.standardError = platform::Task::Stdio::Pipe;
    ASSERT_TRUE(sup.launch()) << std::strerror(errno) << " " << sup.launchPath;
    std::string err;
    EXPECT_TRUE(sup.readStandardErrorToEnd(err, 5s));
    EXPECT_EQ(sup.terminationStatus(), 2);
    EXPECT_NE(err.find("usage: tvapphelper-supervise"), std::string::npos);
}

TEST(Supervisor, OnlyAProgramThatCrashesBeforeServingIsBackedOff) {
    struct Case {
        const char* program;
        bool backedOff;
    } cases[] = {{"exit 0", false}, {"exit 3", true}, {"kill -TERM $$", true}};
    for (const Case& k : cases) {
        TempDir dir;
        platform::Task sup;
        sup.launchPath = supervisePath();
        sup.arguments = {"--socket", dir.path + "/s.ipc", "--", "/bin/sh", "-c", k.program};
        ASSERT_TRUE(sup.launch());
        StopAtEnd stop{sup};
        ASSERT_TRUE(waitForFile(dir.path + "/s.ipc"));
        // Twenty connections in a row, each one's program ended before the next: six crashes in a
        // row are free, the fourteen after them wait 50 ms more each (0.05 + ... + 0.7 s = 5.25 s).
        const auto begin = std::chrono::steady_clock::now();
        for (int i = 0; i < 20; ++i) {
            int fd = connectTo(dir.path + "/s.ipc", 5s);
            ASSERT_GE(fd, 0);
            EXPECT_TRUE(closedByPeer(fd, 5s)) << k.program;
            close(fd);
        }
        const auto took = std::chrono::steady_clock::now() - begin;
        if (k.backedOff)
            EXPECT_GT(took, 3s) << k.program;
        else
            EXPECT_LT(took, 3s) << k.program;
    }
}

TEST(HelperService, BackToBackExchangesAreAllServed) {
    for (Service::Kind kind : {Service::Supervised, Service::SocketActivated}) {
        if (kind == Service::SocketActivated && !haveSocketActivate()) continue;
        Service s(kind);
        ASSERT_TRUE(s.launched);
        int failures = 0;
        for (int i = 0; i < 200; ++i)
            failures += getVerExchange(s.socket, 2s) == "1,240|eof" ? 0 : 1;
        EXPECT_EQ(failures, 0) << (kind == Service::Supervised ? "supervised" : "socket-activated");
    }
}

TEST(HelperService, ARefusedPeerHoldsUpNobody) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as the user nobody";
    for (Service::Kind kind : {Service::Supervised, Service::SocketActivated}) {
        if (kind == Service::SocketActivated && !haveSocketActivate()) continue;
        Service s(kind);
        ASSERT_TRUE(s.launched);
        // Strangers connect and say nothing; the allowed client is answered at once all the same.
        std::vector<std::unique_ptr<SilentStranger>> strangers;
        for (int i = 0; i < 8; ++i)
            strangers.push_back(std::make_unique<SilentStranger>(s.socket));
        usleep(200000);
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(getVerExchange(s.socket, 2s), "1,240|eof");
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
        strangers.clear();
    }
}

TEST(HelperUnits, PassSystemdsOwnCheck) {
    if (access("/usr/bin/systemd-analyze", X_OK) != 0) GTEST_SKIP() << "systemd-analyze is not installed";
    // The units as installed, the service pointing at the built helper (verify wants a program there).
    TempDir dir;
    const std::string src = std::string(std::getenv("TAVROVPN_SOURCE_DIR")) + "/tools/install/";
    std::string service = readFile(src + "com.norvell.tvapphelper@.service");
    const std::string installed = "/usr/local/libexec/tavrovpn/tvapphelper";
    ASSERT_NE(service.find("ExecStart=" + installed), std::string::npos);
    for (size_t at; (at = service.find(installed)) != std::string::npos;)
        service.replace(at, installed.size(), buildDir() + "/helper/tvapphelper");
    writeFile(dir.path + "/com.norvell.tvapphelper@.service", service);
    std::string socket = readFile(src + "com.norvell.tvapphelper.socket");
    for (const char* line :
         {"ListenStream=/var/run/com.norvell.tvapphelper.ipc\n", "SocketMode=0766\n", "Accept=yes\n",
          "ExecStartPre=/usr/local/libexec/tavrovpn/tvapphelper --cleanup\n"})
        EXPECT_NE(socket.find(line), std::string::npos) << line;
    for (size_t at; (at = socket.find(installed)) != std::string::npos;)
        socket.replace(at, installed.size(), buildDir() + "/helper/tvapphelper");
    writeFile(dir.path + "/com.norvell.tvapphelper.socket", socket);
    platform::Task verify;
    verify.launchPath = "/usr/bin/systemd-analyze";
    verify.arguments = {"verify", dir.path + "/com.norvell.tvapphelper.socket",
                        dir.path + "/com.norvell.tvapphelper@.service"};
    verify.standardError = platform::Task::Stdio::Pipe;
    ASSERT_TRUE(verify.launch());
    std::string complaints;
    EXPECT_TRUE(verify.readStandardErrorToEnd(complaints, 60s));
    EXPECT_EQ(verify.terminationStatus(), 0) << complaints;
    EXPECT_EQ(complaints, "");
}
