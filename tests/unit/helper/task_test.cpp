#include "platform/Task.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace std::chrono_literals;
using platform::Task;

TEST(Task, RunsInItsFolderWithArgumentsAndReportsTheExitCode) {
    Task t;
    t.launchPath = "/bin/sh";
    t.arguments = {"-c", "printf '%s|%s' \"$(pwd)\" \"$1\"; exit 3", "sh", "a b"};
    t.currentDirectory = "/usr";
    t.standardOutput = Task::Stdio::Pipe;
    ASSERT_TRUE(t.launch());
    std::string out;
    EXPECT_TRUE(t.readStandardOutputToEnd(out, 10s));
    EXPECT_EQ(out, "/usr|a b");
    EXPECT_EQ(t.terminationStatus(), 3);
    EXPECT_FALSE(t.isRunning());
}

TEST(Task, LaunchFailsCleanlyForAMissingProgramOrFolder) {
    Task t;
    t.launchPath = "/nonexistent/openvpn";
    EXPECT_FALSE(t.launch());
    Task u;
    u.launchPath = "/bin/true";
    u.currentDirectory = "/nonexistent-dir";
    EXPECT_FALSE(u.launch());
    EXPECT_EQ(platform::runProgram("/nonexistent/x", {}), -1);
    EXPECT_EQ(platform::runProgram("/bin/sh", {"-c", "exit 7"}), 7);
}

TEST(Task, TerminateAndKillEndTheChild) {
    Task t;
    t.launchPath = "/bin/sleep";
    t.arguments = {"30"};
    ASSERT_TRUE(t.launch());
    pid_t pid = t.processIdentifier();
    EXPECT_TRUE(platform::processAlive(pid));
    EXPECT_FALSE(t.waitUntilExit(50ms));
    t.terminate();
    ASSERT_TRUE(t.waitUntilExit(5s));
    EXPECT_EQ(t.terminationStatus(), 128 + SIGTERM);
    EXPECT_FALSE(platform::processAlive(pid));
    t.terminate(); // a reaped child is never signalled again

    Task k;
    k.launchPath = "/bin/sh";
    // An ignored signal stays ignored across exec: sleep itself ignores SIGTERM.
    k.arguments = {"-c", "trap '' TERM; echo ready; exec sleep 30"};
    k.standardOutput = Task::Stdio::Pipe;
    ASSERT_TRUE(k.launch());
    char ready[6] = {};
    ASSERT_EQ(read(k.standardOutputFd(), ready, 5), 5);
    k.terminate();
    EXPECT_FALSE(k.waitUntilExit(300ms));
    k.kill();
    ASSERT_TRUE(k.waitUntilExit(5s));
}

TEST(Task, ReadingIsBoundedInTimeAndSize) {
    Task t;
    t.launchPath = "/bin/sh";
    t.arguments = {"-c", "head -c 100000 /dev/zero >&2; exec sleep 30"};
    t.standardError = Task::Stdio::Pipe;
    ASSERT_TRUE(t.launch());
    std::string err;
    EXPECT_FALSE(t.readStandardErrorToEnd(err, 500ms, 1000));
    EXPECT_EQ(err.size(), 1000u);
    EXPECT_FALSE(t.isRunning()); // killed at the time limit
}

TEST(Task, ChildStartsWithDefaultSignalsEvenWhenTheParentIgnoresThem) {
    struct sigaction old {};
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ign, &old);
    Task t;
    t.launchPath = "/bin/sh";
    t.arguments = {"-c", "grep SigIgn /proc/self/status"};
    t.standardOutput = Task::Stdio::Pipe;
    ASSERT_TRUE(t.launch());
    std::string out;
    EXPECT_TRUE(t.readStandardOutputToEnd(out, 10s));
    sigaction(SIGPIPE, &old, nullptr);
    // SIGPIPE is signal 13: bit 12 of the mask, i.e. 0x1000.
    unsigned long long mask = std::stoull(out.substr(out.find(':') + 1), nullptr, 16);
    EXPECT_EQ(mask & 0x1000ULL, 0u) << out;
}

TEST(ProcessAlive, ZombiesAndMissingProcessesAreNotAlive) {
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    ASSERT_GT(pid, 0);
    // Not reaped yet: a zombie, which kill(pid, 0) would still report.
    for (int i = 0; i < 200 && platform::processAlive(pid); ++i)
        usleep(10000);
    EXPECT_FALSE(platform::processAlive(pid));
    EXPECT_EQ(kill(pid, 0), 0);
    waitpid(pid, nullptr, 0);
    EXPECT_FALSE(platform::processAlive(pid));
    EXPECT_TRUE(platform::processAlive(getpid()));
    EXPECT_FALSE(platform::processAlive(-1));
}
