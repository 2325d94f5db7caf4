#pragma once
// Runs a piece of a test as another user, the way a hostile process of that user would: a child
// that drops to the uid, runs fn, and reports a text back. Bounded in time; a child that does not
// finish is killed.
#include <chrono>
#include <csignal>
#include <functional>
#include <grp.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

inline std::string asUser(uid_t uid, gid_t gid, const std::function<std::string()>& fn,
                          std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    int p[2];
    if (pipe(p) != 0) return "pipe failed";
    const pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        const std::string out = (setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0)
                                    ? fn()
                                    : std::string("could not become uid ") + std::to_string(uid);
        ssize_t n = write(p[1], out.data(), out.size());
        (void)n;
        _exit(0);
    }
    close(p[1]);
    std::string out;
    char buf[512];
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        pollfd pf{p[0], POLLIN, 0};
        if (poll(&pf, 1, 100) <= 0) continue;
        const ssize_t n = read(p[0], buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    close(p[0]);
    if (std::chrono::steady_clock::now() >= end) {
        kill(pid, SIGKILL);
        out += "|timed out";
    }
    waitpid(pid, nullptr, 0);
    return out;
}

} // namespace testsupport
