// tvapphelper-supervise: a respawn supervisor for machines without systemd. It starts the program
// again each time it exits, as the service manager does for the helper (one connection per
// process), writes its own pid file, and on SIGTERM/SIGINT stops the current child and exits.
#include "platform/Task.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kFastExit = 1s;    // a child that lives shorter than this "exited instantly"
constexpr int kFastExitsFree = 5; // that many in a row are restarted at once
constexpr auto kMaxBackoff = 1000ms;
constexpr auto kStopGrace = 12s; // longer than the helper needs to stop openvpn (5 s + 5 s)

void usage() {
    std::fprintf(stderr,
                 "usage: tvapphelper-supervise [--pidfile FILE] [--max-restarts N] -- PROGRAM [ARG...]\n"
                 "  Runs PROGRAM and starts it again each time it exits; SIGTERM stops both.\n");
}

bool writePidFile(const std::string& path) {
    const std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    char text[32];
    int len = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(::getpid()));
    bool ok = ::write(fd, text, static_cast<size_t>(len)) == len;
    ok = ::close(fd) == 0 && ok;
    return ok && ::rename(tmp.c_str(), path.c_str()) == 0;
}

// Waits for a stop signal or the child's end; true when a stop signal arrived.
bool waitForStopOrExit(platform::Task& child, const sigset_t& signals) {
    for (;;) {
        timespec tick{0, 200 * 1000 * 1000};
        int sig = ::sigtimedwait(&signals, nullptr, &tick);
        if (sig == SIGTERM || sig == SIGINT || sig == SIGHUP) return true;
        if (!child.isRunning()) return false;
    }
}

void stopChild(platform::Task& child) {
    child.terminate();
    if (child.waitUntilExit(kStopGrace)) return;
    child.kill();
    child.waitUntilExit(kStopGrace);
}

} // namespace

int main(int argc, char** argv) {
    std::string pidFile;
    long maxRestarts = -1;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--pidfile" && i + 1 < argc) {
            pidFile = argv[++i];
        } else if (a == "--max-restarts" && i + 1 < argc) {
            maxRestarts = std::strtol(argv[++i], nullptr, 10);
        } else {
            usage();
            return 2;
        }
    }
    if (i >= argc) {
        usage();
        return 2;
    }

    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGCHLD})
        sigaddset(&signals, s);
    sigprocmask(SIG_BLOCK, &signals, nullptr);

    if (!pidFile.empty() && !writePidFile(pidFile)) {
        std::fprintf(stderr, "tvapphelper-supervise: cannot write %s: %s\n", pidFile.c_str(),
                     std::strerror(errno));
        return 1;
    }

    std::vector<std::string> args(argv + i + 1, argv + argc);
    int fastExits = 0;
    int rc = 0;
    for (long started = 0; maxRestarts < 0 || started <= maxRestarts; ++started) {
        platform::Task child;
        child.launchPath = argv[i];
        child.arguments = args;
        const auto begin = Clock::now();
        if (!child.launch()) {
            std::fprintf(stderr, "tvapphelper-supervise: cannot start %s\n", argv[i]);
            rc = 1;
            break;
        }
        if (waitForStopOrExit(child, signals)) {
            stopChild(child);
            break;
        }
        fastExits = (Clock::now() - begin < kFastExit) ? fastExits + 1 : 0;
        if (fastExits > kFastExitsFree) {
            // A program that cannot even start should not spin a core; the back-off stays short.
            auto delay =
                std::min<std::chrono::milliseconds>(kMaxBackoff, 50ms * (fastExits - kFastExitsFree));
            timespec ts{0, static_cast<long>(std::chrono::nanoseconds(delay).count())};
            int sig = ::sigtimedwait(&signals, nullptr, &ts);
            if (sig == SIGTERM || sig == SIGINT || sig == SIGHUP) break;
        }
    }
    if (!pidFile.empty()) ::unlink(pidFile.c_str());
    return rc;
}
