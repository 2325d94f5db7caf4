#include "platform/Task.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPollStep = std::chrono::milliseconds(10);

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Owns the file actions and attributes of one spawn, whatever path the launch takes.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    bool actionsReady = false;
    bool attrReady = false;
    ~SpawnSetup() {
        if (actionsReady) posix_spawn_file_actions_destroy(&actions);
        if (attrReady) posix_spawnattr_destroy(&attr);
    }
};

// Parent ends and the child end of one standard stream.
struct StreamPlan {
    int parentFd = -1;
    int childFd = -1;
};

bool planStream(Task::Stdio mode, int target, bool childReads, posix_spawn_file_actions_t* fa,
                StreamPlan& plan) {
    switch (mode) {
    case Task::Stdio::Inherit:
        return true;
    case Task::Stdio::Null:
        return posix_spawn_file_actions_addopen(fa, target, "/dev/null", childReads ? O_RDONLY : O_WRONLY,
                                                0) == 0;
    case Task::Stdio::Pipe: {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) return false;
        plan.childFd = childReads ? p[0] : p[1];
        plan.parentFd = childReads ? p[1] : p[0];
        // dup2 onto 0/1/2 clears close-on-exec for the child's copy only.
        return posix_spawn_file_actions_adddup2(fa, plan.childFd, target) == 0;
    }
    }
    return false;
}

// Copies of the passed descriptors above every target number, so that no dup2 onto a target can
// clobber a descriptor that a later dup2 still reads from.
struct PassedCopies {
    std::vector<int> fds;
    ~PassedCopies() {
        for (int& fd : fds)
            closeFd(fd);
    }
};

bool planPassedDescriptors(const std::vector<std::pair<int, int>>& passed, posix_spawn_file_actions_t* fa,
                           PassedCopies& copies) {
    int above = 2;
    for (const auto& [from, to] : passed) {
        if (from < 0 || to < 0) return false;
        above = std::max(above, to);
    }
    for (const auto& [from, to] : passed) {
        const int copy = ::fcntl(from, F_DUPFD_CLOEXEC, above + 1);
        if (copy < 0) return false;
        copies.fds.push_back(copy);
        if (posix_spawn_file_actions_adddup2(fa, copy, to) != 0) return false;
    }
    return true;
}

// The inherited environment with the extra entries set (an entry replaces one of the same name).
std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> out;
    auto nameOf = [](const std::string& e) { return e.substr(0, e.find('=')); };
    for (char** e = environ; e && *e; ++e) {
        const std::string entry = *e;
        const bool replaced = std::any_of(extra.begin(), extra.end(),
                                          [&](const std::string& x) { return nameOf(x) == nameOf(entry); });
        if (!replaced) out.push_back(entry);
    }
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
}

int decodeStatus(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

} // namespace

Task::Task(Task&& o) noexcept
    : launchPath(std::move(o.launchPath)), arguments(std::move(o.arguments)),
      currentDirectory(std::move(o.currentDirectory)), standardInput(o.standardInput),
      standardOutput(o.standardOutput), standardError(o.standardError),
      passedDescriptors(std::move(o.passedDescriptors)), extraEnvironment(std::move(o.extraEnvironment)),
      pid_(o.pid_), exited_(o.exited_), status_(o.status_), inFd_(o.inFd_), outFd_(o.outFd_),
      errFd_(o.errFd_) {
    o.pid_ = -1;
    o.inFd_ = o.outFd_ = o.errFd_ = -1;
}

Task& Task::operator=(Task&& o) noexcept {
    if (this != &o) {
        reap(false);
        closeFds();
        launchPath = std::move(o.launchPath);
        arguments = std::move(o.arguments);
        currentDirectory = std::move(o.currentDirectory);
        standardInput = o.standardInput;
        standardOutput = o.standardOutput;
        standardError = o.standardError;
        passedDescriptors = std::move(o.passedDescriptors);
        extraEnvironment = std::move(o.extraEnvironment);
        pid_ = o.pid_;
        exited_ = o.exited_;
        status_ = o.status_;
        inFd_ = o.inFd_;
        outFd_ = o.outFd_;
        errFd_ = o.errFd_;
        o.pid_ = -1;
        o.inFd_ = o.outFd_ = o.errFd_ = -1;
    }
    return *this;
}

Task::~Task() {
    closeFds();
    // A child still running is left alone (it may be meant to outlive us); a finished one is reaped.
    reap(false);
}

bool Task::launch() {
    if (pid_ > 0 || launchPath.empty()) return false;

    SpawnSetup s;
    if (posix_spawn_file_actions_init(&s.actions) != 0) return false;
    s.actionsReady = true;
    if (posix_spawnattr_init(&s.attr) != 0) return false;
    s.attrReady = true;

    // The child starts with an empty signal mask and default dispositions, whatever the parent
    // blocks or ignores (the application ignores SIGPIPE; the supervisor blocks SIGTERM).
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&s.attr, &none);
    posix_spawnattr_setsigdefault(&s.attr, &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (ownProcessGroup) {
        posix_spawnattr_setpgroup(&s.attr, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&s.attr, flags);

    StreamPlan in, out, err;
    auto dropPlans = [&] {
        for (StreamPlan* p : {&in, &out, &err}) {
            closeFd(p->parentFd);
            closeFd(p->childFd);
        }
    };
    if (!planStream(standardInput, STDIN_FILENO, true, &s.actions, in) ||
        !planStream(standardOutput, STDOUT_FILENO, false, &s.actions, out) ||
        !planStream(standardError, STDERR_FILENO, false, &s.actions, err)) {
        dropPlans();
        return false;
    }
    if (!currentDirectory.empty() &&
        posix_spawn_file_actions_addchdir_np(&s.actions, currentDirectory.c_str()) != 0) {
        dropPlans();
        return false;
    }
    // After the change of folder: a folder given as /proc/self/fd/N must still find its N.
    PassedCopies copies;
    if (!planPassedDescriptors(passedDescriptors, &s.actions, copies)) {
        dropPlans();
        return false;
    }

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(launchPath.c_str()));
    for (const auto& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    std::vector<std::string> envStrings;
    std::vector<char*> envp;
    char** env = environ;
    if (!extraEnvironment.empty()) {
        envStrings = mergedEnvironment(extraEnvironment);
        for (auto& e : envStrings)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        env = envp.data();
    }

    pid_t pid = -1;
    int rc = posix_spawn(&pid, launchPath.c_str(), &s.actions, &s.attr, argv.data(), env);
    closeFd(in.childFd);
    closeFd(out.childFd);
    closeFd(err.childFd);
    if (rc != 0) {
        dropPlans();
        errno = rc; // callers report why
        return false;
    }
    pid_ = pid;
    exited_ = false;
    status_ = -1;
    inFd_ = in.parentFd;
    outFd_ = out.parentFd;
    errFd_ = err.parentFd;
    return true;
}

bool Task::reap(bool block) {
    if (pid_ <= 0 || exited_) return exited_;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int raw = 0;
        pid_t r = ::waitpid(pid_, &raw, block ? 0 : WNOHANG);
        if (r == pid_) {
            exited_ = true;
            status_ = decodeStatus(raw);
            return true;
        }
        if (r == 0) return false;
        if (errno == EINTR) continue;
        // ECHILD: somebody else reaped it (or SIGCHLD is ignored); it is gone either way.
        exited_ = true;
        return true;
    }
    return exited_;
}

void Task::waitUntilExit() {
    reap(true);
}

bool Task::waitUntilExit(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!reap(false)) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kPollStep);
    }
    return true;
}

void Task::terminate() {
    // Only an unreaped child is signalled: its pid cannot have been reused yet.
    if (pid_ > 0 && !reap(false)) ::kill(pid_, SIGTERM);
}

void Task::kill() {
    if (pid_ > 0 && !reap(false)) ::kill(pid_, SIGKILL);
}

bool Task::isRunning() const {
    return pid_ > 0 && !const_cast<Task*>(this)->reap(false);
}

void Task::closeStandardInput() {
    closeFd(inFd_);
}

void Task::closeFds() {
    closeFd(inFd_);
    closeFd(outFd_);
    closeFd(errFd_);
}

namespace {

// Reads fd until end of file, keeping at most maxBytes; false when the deadline passes first.
bool drainUntilEof(int fd, std::string& out, Clock::time_point deadline, size_t maxBytes) {
    char chunk[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (r < 0 && errno != EINTR) return false;
        if (r <= 0) continue;
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return true;
        }
        size_t room = out.size() < maxBytes ? maxBytes - out.size() : 0;
        out.append(chunk, std::min(room, static_cast<size_t>(n)));
    }
}

} // namespace

static bool readToEnd(Task& t, int& fd, std::string& out, std::chrono::milliseconds limit, size_t maxBytes) {
    if (fd < 0) return false;
    const auto deadline = Clock::now() + limit;
    bool complete = drainUntilEof(fd, out, deadline, maxBytes);
    closeFd(fd);
    if (complete) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() > 0 && t.waitUntilExit(left)) return true;
    }
    t.kill();
    t.waitUntilExit(std::chrono::seconds(5));
    return false;
}

bool Task::readStandardErrorToEnd(std::string& out, std::chrono::milliseconds limit, size_t maxBytes) {
    return readToEnd(*this, errFd_, out, limit, maxBytes);
}

bool Task::readStandardOutputToEnd(std::string& out, std::chrono::milliseconds limit, size_t maxBytes) {
    return readToEnd(*this, outFd_, out, limit, maxBytes);
}

bool processAlive(pid_t pid) {
    if (pid <= 0) return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE* f = std::fopen(path, "re");
    if (!f) return false;
    char line[256];
    bool alive = true;
    for (int i = 0; i < 64 && std::fgets(line, sizeof line, f); ++i) {
        if (std::strncmp(line, "State:", 6) == 0) {
            const char* p = line + 6;
            while (*p == ' ' || *p == '\t')
                ++p;
            alive = !(*p == 'Z' || *p == 'X' || *p == 'x');
            break;
        }
    }
    std::fclose(f);
    return alive;
}

int runProgram(const std::string& path, const std::vector<std::string>& args, const std::string& cwd) {
    Task t;
    t.launchPath = path;
    t.arguments = args;
    t.currentDirectory = cwd;
    if (!t.launch()) return -1;
    t.waitUntilExit();
    return t.terminationStatus();
}

} // namespace platform
