#include "HelperHarness.h"

#include "platform/Task.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace harness;

namespace {

// The pid of the helper instance at the other end of a connection.
pid_t peerPid(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 ? cred.pid : -1;
}

// Stops the supervisor even when an assertion ends the test early.
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

bool waitGone(pid_t pid) {
    for (int i = 0; i < 500 && platform::processAlive(pid); ++i)
        usleep(10000);
    return !platform::processAlive(pid);
}

} // namespace

TEST(Supervisor, RestartsTheHelperAfterEveryConnectionAndStopsOnSigterm) {
    TempDir dir;
    const std::string socketPath = dir.path + "/helper.ipc";
    const std::string pidFile = dir.path + "/supervise.pid";
    setenv("TVAPPHELPER_SOCKET", socketPath.c_str(), 1); // passed through to the helper
    platform::Task sup;
    sup.launchPath = buildDir() + "/tools/supervisor/tvapphelper-supervise";
    sup.arguments = {"--pidfile", pidFile, "--", buildDir() + "/helper/tvapphelper"};
    ASSERT_TRUE(sup.launch()) << std::strerror(errno) << " " << sup.launchPath;
    unsetenv("TVAPPHELPER_SOCKET");
    StopAtEnd stop{sup};

    std::vector<pid_t> instances;
    for (int i = 0; i < 3; ++i) {
        int fd = connectTo(socketPath, 5s);
        ASSERT_GE(fd, 0) << "connection " << i;
        instances.push_back(peerPid(fd));
        ASSERT_TRUE(sendText(fd, std::string("CMD_SCNETWORK", 14)));
        EXPECT_EQ(recvOnce(fd), "1");
        ASSERT_TRUE(sendText(fd, "GET_VER"));
        EXPECT_EQ(recvOnce(fd), "240");
        EXPECT_TRUE(closedByPeer(fd));
        close(fd);
        // A client that connects before the old instance is gone lands in its backlog and is
        // reset when it exits: the short window between two instances.
        EXPECT_TRUE(waitGone(instances.back()));
    }
    EXPECT_NE(instances[0], instances[1]);
    EXPECT_NE(instances[1], instances[2]);
    ASSERT_TRUE(waitForFile(pidFile));
    EXPECT_EQ(readFile(pidFile), std::to_string(sup.processIdentifier()) + "\n");

    // The instance now waiting for a client ends with the supervisor.
    int fd = connectTo(socketPath, 5s);
    ASSERT_GE(fd, 0);
    pid_t waiting = peerPid(fd);
    EXPECT_TRUE(platform::processAlive(waiting));
    sup.terminate();
    ASSERT_TRUE(sup.waitUntilExit(10s));
    EXPECT_EQ(sup.terminationStatus(), 0);
    EXPECT_FALSE(platform::processAlive(waiting));
    EXPECT_FALSE(std::filesystem::exists(pidFile));
    close(fd);
    EXPECT_LT(connectTo(socketPath, 200ms), 0);
}

TEST(Supervisor, ExplainsItsUsage) {
    platform::Task sup;
    sup.launchPath = buildDir() + "/tools/supervisor/tvapphelper-supervise";
    sup.standardError = platform::Task::Stdio::Pipe;
    ASSERT_TRUE(sup.launch()) << std::strerror(errno) << " " << sup.launchPath;
    std::string err;
    EXPECT_TRUE(sup.readStandardErrorToEnd(err, 5s));
    EXPECT_EQ(sup.terminationStatus(), 2);
    EXPECT_NE(err.find("usage: tvapphelper-supervise"), std::string::npos);
}

TEST(Supervisor, AProgramThatExitsAtOnceIsRestartedWithOnlyATinyBackoff) {
    TempDir dir;
    const std::string counter = dir.path + "/runs";
    platform::Task sup;
    sup.launchPath = buildDir() + "/tools/supervisor/tvapphelper-supervise";
    sup.arguments = {"--max-restarts", "9", "--", "/bin/sh", "-c", "echo x >> \"" + counter + "\""};
    ASSERT_TRUE(sup.launch()) << std::strerror(errno) << " " << sup.launchPath;
    ASSERT_TRUE(sup.waitUntilExit(30s));
    EXPECT_EQ(readFile(counter).size(), 10u * 2); // started once and restarted nine times
}
