// Back-to-back helper exchanges: each one connects, sends "CMD_SCNETWORK" (with its NUL), reads
// "1", sends "GET_VER", reads "240" and waits for the helper to close, as the application's
// one-request-per-connection use does. Failures (refused or reset connections, wrong replies) are
// counted; latencies are printed as p50/p99 next to a plain Unix-socket server that answers the
// same exchange in-process, measured in the same run.
#include "platform/Task.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Result {
    int failures = 0;
    std::vector<double> ms;
};

bool recvExactly(int fd, const std::string& want) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return false;
    char buf[64];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n == static_cast<ssize_t>(want.size()) && std::string(buf, static_cast<size_t>(n)) == want;
}

bool closedByPeer(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return false;
    char c;
    return recv(fd, &c, 1, 0) == 0;
}

bool exchange(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    path.copy(a.sun_path, sizeof a.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
              send(fd, "CMD_SCNETWORK", 14, MSG_NOSIGNAL) == 14 && recvExactly(fd, "1") &&
              send(fd, "GET_VER", 7, MSG_NOSIGNAL) == 7 && recvExactly(fd, "240") && closedByPeer(fd);
    close(fd);
    return ok;
}

Result run(const std::string& path, int count) {
    Result r;
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        if (exchange(path))
            r.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        else
            ++r.failures;
    }
    return r;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

void print(const char* name, const Result& r, const Result& floor) {
    const double p99 = percentile(r.ms, 0.99), floor99 = percentile(floor.ms, 0.99);
    std::printf("  %-34s failures %d  p50 %.3f ms  p99 %.3f ms", name, r.failures, percentile(r.ms, 0.5),
                p99);
    if (&r != &floor && floor99 > 0) std::printf("  (p99 %.0fx the echo)", p99 / floor99);
    std::printf("\n");
}

void skipped(const char* name, const char* why) {
    std::printf("  %-34s skipped (%s)\n", name, why);
}

// The same exchange answered in-process: the floor a Unix socket itself sets.
class EchoServer {
public:
    explicit EchoServer(const std::string& path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof a.sun_path - 1);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 64) != 0) std::abort();
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (poll(&p, 1, 100) <= 0) continue;
                const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) continue;
                char buf[512];
                if (recv(c, buf, sizeof buf, 0) > 0) send(c, "1", 1, MSG_NOSIGNAL);
                if (recv(c, buf, sizeof buf, 0) > 0) send(c, "240", 3, MSG_NOSIGNAL);
                close(c);
            }
        });
    }
    ~EchoServer() {
        stop_ = true;
        thread_.join();
        close(fd_);
        unlink(path_.c_str());
    }

private:
    std::string path_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

bool waitForSocket(const fs::path& p) {
    for (int i = 0; i < 200 && !fs::exists(p); ++i)
        std::this_thread::sleep_for(25ms);
    return fs::exists(p);
}

void stop(platform::Task& t) {
    t.terminate();
    if (!t.waitUntilExit(10s)) {
        t.kill();
        t.waitUntilExit(5s);
    }
}

} // namespace

int main(int argc, char** argv) {
    const fs::path build = argc > 1 ? argv[1] : ".";
    const int count = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1000;
    char tmpl[] = "/tmp/tv-bench-helper-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const fs::path dir = tmpl;
    std::ofstream(dir / "allow") << "0\n";
    setenv("TVAPPHELPER_ALLOW_FILE", (dir / "allow").c_str(), 1);
    const std::string helper = (build / "helper/tvapphelper").string();

    std::printf("helper socket, %d back-to-back CMD_SCNETWORK + GET_VER exchanges each\n", count);
    Result echo;
    {
        EchoServer server((dir / "echo.ipc").string());
        echo = run((dir / "echo.ipc").string(), count);
    }
    print("plain Unix-socket echo", echo, echo);

    int rc = 0;
    {
        platform::Task sup;
        sup.launchPath = (build / "tools/supervisor/tvapphelper-supervise").string();
        sup.arguments = {"--socket", (dir / "supervised.ipc").string(), "--", helper};
        if (sup.launch() && waitForSocket(dir / "supervised.ipc")) {
            const Result r = run((dir / "supervised.ipc").string(), count);
            print("helper under the supervisor", r, echo);
            rc |= r.failures != 0;
        } else {
            skipped("helper under the supervisor", "it could not be started");
            rc = 1;
        }
        stop(sup);
    }
    if (access("/usr/bin/systemd-socket-activate", X_OK) == 0) {
        platform::Task act;
        act.launchPath = "/usr/bin/systemd-socket-activate";
        act.arguments = {"--accept", "-l", (dir / "activated.ipc").string(), "-E", "TVAPPHELPER_ALLOW_FILE",
                         helper};
        act.standardError = platform::Task::Stdio::Null;
        if (act.launch() && waitForSocket(dir / "activated.ipc")) {
            const Result r = run((dir / "activated.ipc").string(), count);
            print("helper, systemd-socket-activate", r, echo);
            rc |= r.failures != 0;
        }
        stop(act);
    } else {
        skipped("helper, systemd-socket-activate", "systemd-socket-activate is not installed");
    }
    // The installed unit, where systemd runs it: the real path and the real allow file.
    if (!fs::exists("/run/systemd/system")) {
        skipped("helper, socket unit", "systemd is not running here");
    } else if (platform::runProgram("/usr/bin/systemctl",
                                    {"--quiet", "is-active", "com.norvell.tvapphelper.socket"}) != 0) {
        skipped("helper, socket unit", "com.norvell.tvapphelper.socket is not active");
    } else {
        const Result r = run("/var/run/com.norvell.tvapphelper.ipc", count);
        print("helper, socket unit", r, echo);
        rc |= r.failures != 0;
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return rc;
}
