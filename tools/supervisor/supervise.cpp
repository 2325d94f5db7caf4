// tvapphelper-supervise: the helper's socket where no systemd runs. Like the socket unit with
// Accept=yes, it owns the listening socket and starts one helper per accepted connection, handing
// the connection over as systemd does (descriptor 3, LISTEN_FDS=1, LISTEN_PID). A helper that
// served its connection and ended costs nothing; only helpers that crash (killed by a signal, or a
// non-zero exit) soon after starting make it wait a little before the next start. A helper that
// crashed may leave a tunnel behind: PROGRAM --cleanup then ends it (as the socket unit's
// ExecStopPost does). It writes its own pid file and on SIGTERM/SIGINT/SIGHUP stops the helpers
// still running and exits.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kDefaultSocket = "/var/run/com.norvell.tvapphelper.ipc";
constexpr mode_t kSocketMode = 0766; // as the socket unit's SocketMode
constexpr int kBacklog = 64;
constexpr size_t kMaxHelpers = 64; // systemd's MaxConnections default
constexpr auto kCrashWindow = 1s;  // a crash this soon after the start counts towards back-off
constexpr int kCrashesFree = 5;    // that many in a row are restarted at once
constexpr auto kMaxBackoff = 1000ms;
constexpr auto kStopGrace = 12s; // longer than a helper needs to stop openvpn (5 s + 5 s)

void usage() {
    std::fprintf(stderr,
                 "usage: tvapphelper-supervise [--pidfile FILE] [--socket PATH] -- PROGRAM [ARG...]\n"
                 "  Listens on PATH ($TVAPPHELPER_SOCKET, else %s) and runs PROGRAM for each\n"
                 "  connection, handed over as descriptor 3 (LISTEN_FDS/LISTEN_PID); SIGTERM stops all.\n",
                 kDefaultSocket);
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

int bindSocket(const std::string& path, struct stat& bound) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, kBacklog) != 0 ||
        ::chmod(path.c_str(), kSocketMode) != 0 || ::stat(path.c_str(), &bound) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// The child side of a start: the connection on descriptor 3 and the hand-over variables, then the
// program with default signals. Only async-signal-safe calls and setenv (this process has one
// thread) until exec.
[[noreturn]] void execHelper(int conn, const std::vector<char*>& argv) {
    sigset_t none;
    sigemptyset(&none);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGPIPE})
        ::signal(s, SIG_DFL);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (conn == 3) {
        ::fcntl(3, F_SETFD, 0);
    } else if (::dup2(conn, 3) != 3) {
        _exit(127);
    }
    char pid[32];
    std::snprintf(pid, sizeof pid, "%d", static_cast<int>(::getpid()));
    ::setenv("LISTEN_PID", pid, 1);
    ::setenv("LISTEN_FDS", "1", 1);
    ::setenv("LISTEN_FDNAMES", "connection", 1);
    ::execv(argv[0], argv.data());
    _exit(127);
}

struct Helper {
    Clock::time_point started;
};

class Supervisor {
public:
    Supervisor(int listener, int signals, std::vector<char*> argv)
        : listener_(listener), signals_(signals), argv_(std::move(argv)) {}

    // Runs until a stop signal; the exit code of the supervisor.
    int run() {
        for (;;) {
            pollfd p[2] = {{signals_, POLLIN, 0}, {listener_, POLLIN, 0}};
            // Full: the next connection waits in the backlog until a helper ends.
            const nfds_t n = helpers_.size() < kMaxHelpers ? 2 : 1;
            const int timeout = helpers_.size() < kMaxHelpers ? -1 : 200;
            if (::poll(p, n, timeout) < 0 && errno != EINTR) return 1;
            if (p[0].revents & POLLIN) {
                if (readSignals()) return stopAll();
            }
            reap();
            if (n == 2 && (p[1].revents & POLLIN)) acceptAndStart();
        }
    }

private:
    // True when a stop signal arrived.
    bool readSignals() {
        bool stop = false;
        signalfd_siginfo info{};
        while (::read(signals_, &info, sizeof info) == sizeof info)
            if (info.ssi_signo != SIGCHLD) stop = true;
        return stop;
    }

    void reap() {
        for (int i = 0; i < 1000; ++i) {
            int status = 0;
            const pid_t pid = ::waitpid(-1, &status, WNOHANG);
            if (pid <= 0) return;
            auto it = helpers_.find(pid);
            if (it == helpers_.end()) continue;
            const bool crashed = !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            const bool early = Clock::now() - it->second.started < kCrashWindow;
            crashes_ = crashed && early ? crashes_ + 1 : 0;
            helpers_.erase(it);
            if (crashed) startCleanup();
        }
    }

    // PROGRAM --cleanup, without a connection; reaped like any other child that is not a helper.
    void startCleanup() {
        const pid_t pid = ::fork();
        if (pid != 0) return;
        for (int s : {SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGPIPE})
            ::signal(s, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        char cleanup[] = "--cleanup";
        char* args[] = {argv_[0], cleanup, nullptr};
        ::execv(argv_[0], args);
        _exit(127);
    }

    void acceptAndStart() {
        const int conn = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) return; // EAGAIN: another wake-up took it; a failed accept is the client's loss
        if (crashes_ > kCrashesFree) backOff();
        const pid_t pid = ::fork();
        if (pid == 0) execHelper(conn, argv_);
        ::close(conn);
        if (pid < 0) {
            std::fprintf(stderr, "tvapphelper-supervise: cannot start %s: %s\n", argv_[0],
                         std::strerror(errno));
            return;
        }
        helpers_[pid] = Helper{Clock::now()};
    }

    // A program that keeps crashing must not spin a core; the wait stays short.
    void backOff() {
        const auto delay = std::min<std::chrono::milliseconds>(kMaxBackoff, 50ms * (crashes_ - kCrashesFree));
        std::this_thread::sleep_for(delay);
    }

    int stopAll() {
        for (const auto& [pid, h] : helpers_)
            ::kill(pid, SIGTERM);
        const auto deadline = Clock::now() + kStopGrace;
        while (!helpers_.empty() && Clock::now() < deadline) {
            reap();
            if (!helpers_.empty()) std::this_thread::sleep_for(20ms);
        }
        for (const auto& [pid, h] : helpers_)
            ::kill(pid, SIGKILL);
        for (const auto& [pid, h] : helpers_)
            ::waitpid(pid, nullptr, 0);
        helpers_.clear();
        return 0;
    }

    int listener_;
    int signals_;
    std::vector<char*> argv_;
    std::map<pid_t, Helper> helpers_;
    int crashes_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    std::string pidFile;
    const char* envSocket = std::getenv("TVAPPHELPER_SOCKET");
    std::string socketPath = (envSocket && envSocket[0]) ? envSocket : kDefaultSocket;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--pidfile" && i + 1 < argc) {
            pidFile = argv[++i];
        } else if (a == "--socket" && i + 1 < argc) {
            socketPath = argv[++i];
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
    ::signal(SIGPIPE, SIG_IGN);
    const int sfd = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (sfd < 0) {
        std::fprintf(stderr, "tvapphelper-supervise: signalfd: %s\n", std::strerror(errno));
        return 1;
    }

    struct stat bound {};
    const int listener = bindSocket(socketPath, bound);
    if (listener < 0) {
        std::fprintf(stderr, "tvapphelper-supervise: cannot listen on %s: %s\n", socketPath.c_str(),
                     std::strerror(errno));
        return 1;
    }
    if (!pidFile.empty() && !writePidFile(pidFile)) {
        std::fprintf(stderr, "tvapphelper-supervise: cannot write %s: %s\n", pidFile.c_str(),
                     std::strerror(errno));
        return 1;
    }

    std::vector<char*> helperArgv(argv + i, argv + argc);
    helperArgv.push_back(nullptr);
    const int rc = Supervisor(listener, sfd, helperArgv).run();

    // The socket file goes with us, unless someone has bound a new one there meanwhile.
    struct stat now {};
    if (::stat(socketPath.c_str(), &now) == 0 && now.st_ino == bound.st_ino && now.st_dev == bound.st_dev)
        ::unlink(socketPath.c_str());
    ::close(listener);
    if (!pidFile.empty()) ::unlink(pidFile.c_str());
    return rc;
}
