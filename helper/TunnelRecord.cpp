#include "helper/TunnelRecord.h"

#include "helper/HelperLog.h"
#include "helper/ProgramCopies.h"
#include "helper/UniqueFd.h"
#include "helper/WorkingFolder.h"
#include "platform/Task.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace helper {
namespace {

using namespace std::chrono_literals;

constexpr auto kStopGrace = 5s;
constexpr auto kSetDnsWait = 30s;
constexpr auto kGroupSettle = 10s; // the routing script's longest step
constexpr int kKillRounds = 50;
constexpr size_t kMaxRecordBytes = 512;
constexpr int kMaxRecords = 256;


std::string recordPath(pid_t helper) {
    return tunnelRecordDir() + "/" + std::to_string(helper);
}

bool parseRecord(const std::string& text, TunnelRecord& r) {
    std::istringstream in(text);
    std::string word;
    int seen = 0;
    while (in >> word) {
        long long a = 0;
        unsigned long long b = 0;
        if (word == "helper" && in >> a >> b) {
            r.helper = static_cast<pid_t>(a);
            r.helperStart = b;
            seen |= 1;
        } else if (word == "program" && in >> a >> b) {
            r.program = static_cast<pid_t>(a);
            r.programStart = b;
            seen |= 2;
        } else if (word == "kind" && in >> word) {
            r.openConnect = word == "openconnect";
        } else if (word == "dns" && in >> a) {
            r.dnsSwitched = a != 0;
        } else if (word == "uid" && in >> a && a >= 0 && a < TunnelRecord::kNoOwner) {
            r.owner = static_cast<uid_t>(a);
        } else {
            return false;
        }
    }
    return seen == 3 && r.helper > 0 && r.program > 0;
}

bool readRecord(const std::string& path, TunnelRecord& r) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st {};
    std::string text;
    return fd.valid() && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
           readAll(fd.get(), kMaxRecordBytes, text) && parseRecord(text, r);
}

} // namespace

std::string tunnelRecordDir() {
    const char* env = std::getenv("TAVROVPN_DNS_STATE_DIR");
    return std::string(env && env[0] == '/' ? env : "/run/tavrovpn") + "/tunnels";
}

namespace {

struct ProcStat {
    char state = '?';
    long long group = 0;
    uint64_t start = 0;
};

// /proc/PID/stat's state (field 3), process group (5) and start time (22); false when gone.
bool readProcStat(pid_t pid, ProcStat& out) {
    if (pid <= 0) return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    std::string text;
    if (!fd.valid() || !readAll(fd.get(), 4096, text)) return false;
    // The command name (field 2) may hold anything, up to the last ")".
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream in(text.substr(close + 1));
    std::string field;
    for (int i = 3; i <= 22 && in >> field; ++i) {
        if (i == 3) out.state = field.empty() ? '?' : field[0];
        if (i == 5) out.group = std::strtoll(field.c_str(), nullptr, 10);
        if (i == 22) {
            out.start = std::strtoull(field.c_str(), nullptr, 10);
            return true;
        }
    }
    return false;
}

// Live (not zombie) members of the group that started at or after `since`.
std::vector<std::pair<pid_t, uint64_t>> groupMembers(pid_t pgid, uint64_t since) {
    std::vector<std::pair<pid_t, uint64_t>> found;
    DIR* d = ::opendir("/proc");
    if (!d) return found;
    while (dirent* e = ::readdir(d)) {
        char* end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end) continue;
        ProcStat st;
        if (readProcStat(static_cast<pid_t>(pid), st) && st.group == pgid && st.state != 'Z' &&
            st.start >= since)
            found.emplace_back(static_cast<pid_t>(pid), st.start);
    }
    ::closedir(d);
    return found;
}

} // namespace

uint64_t processStartTime(pid_t pid) {
    ProcStat st;
    return readProcStat(pid, st) ? st.start : 0;
}

void settleProcessGroup(pid_t pgid, uint64_t since, std::chrono::milliseconds limit, bool killRest) {
    if (pgid <= 1 || since == 0) return;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto members = groupMembers(pgid, since);
    while (!members.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
        members = groupMembers(pgid, since);
    }
    if (members.empty()) return;
    hlog("process group %d still running after %lld ms: %s", static_cast<int>(pgid),
         static_cast<long long>(limit.count()), killRest ? "ended" : "left alone");
    if (!killRest) return;
    // A shell of the group may start a command between a listing and its end: list and end again
    // until none is left, so that no step of the script runs on after this returns.
    for (int round = 0; round < kKillRounds && !members.empty(); ++round) {
        for (const auto& [pid, start] : members)
            if (processStartTime(pid) == start) ::kill(pid, SIGKILL);
        std::this_thread::sleep_for(20ms);
        members = groupMembers(pgid, since);
    }
    if (!members.empty()) hlog("process group %d: %zu processes would not end", static_cast<int>(pgid), members.size());
}

bool sameProcessAlive(pid_t pid, uint64_t start) {
    return start != 0 && processStartTime(pid) == start && platform::processAlive(pid);
}

bool writeTunnelRecord(const TunnelRecord& r) {
    const std::string dir = tunnelRecordDir();
    const size_t slash = dir.rfind('/');
    std::string why;
    if (!platform::privateDir(dir.substr(0, slash), why) || !platform::privateDir(dir, why)) {
        hlog("tunnel record: %s cannot be used: %s", dir.c_str(), why.c_str());
        return false;
    }
    char text[kMaxRecordBytes];
    std::snprintf(text, sizeof text, "helper %d %llu\nprogram %d %llu\nkind %s\ndns %d\n",
                  static_cast<int>(r.helper), static_cast<unsigned long long>(r.helperStart),
                  static_cast<int>(r.program), static_cast<unsigned long long>(r.programStart),
                  r.openConnect ? "openconnect" : "openvpn", r.dnsSwitched ? 1 : 0);
    if (r.owner != TunnelRecord::kNoOwner)
        std::snprintf(text + std::strlen(text), sizeof text - std::strlen(text), "uid %lu\n",
                      static_cast<unsigned long>(r.owner));
    const std::string path = recordPath(r.helper);
    const std::string tmp = path + ".tmp";
    ::unlink(tmp.c_str());
    UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.valid() || !writeAll(fd.get(), text) || ::rename(tmp.c_str(), path.c_str()) != 0) {
        hlog("tunnel record: %s cannot be written: %s", path.c_str(), std::strerror(errno));
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

void removeTunnelRecord(pid_t helper) {
    ::unlink(recordPath(helper).c_str());
}

bool readTunnelRecord(pid_t helper, TunnelRecord& record) {
    return helper > 0 && readRecord(recordPath(helper), record) && record.helper == helper;
}

uid_t liveTunnelOfAnotherUser(uid_t uid) {
    DIR* d = ::opendir(tunnelRecordDir().c_str());
    if (!d) return TunnelRecord::kNoOwner;
    uid_t found = TunnelRecord::kNoOwner;
    int seen = 0;
    while (dirent* e = ::readdir(d)) {
        char* end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end || pid == ::getpid() || ++seen > kMaxRecords) continue;
        TunnelRecord r;
        if (readTunnelRecord(static_cast<pid_t>(pid), r) && r.owner != TunnelRecord::kNoOwner &&
            r.owner != uid && sameProcessAlive(r.helper, r.helperStart)) {
            found = r.owner;
            break;
        }
    }
    ::closedir(d);
    return found;
}

bool restoreResolver() {
    const std::string script = rootOnlyCopy(kSetDnsCopy);
    if (script.empty()) return false;
    platform::Task task;
    task.launchPath = script;
    task.arguments = {"localhost"};
    task.currentDirectory = "/";
    if (!task.launch()) return false;
    if (!task.waitUntilExit(kSetDnsWait)) {
        task.kill();
        task.waitUntilExit(kStopGrace);
        return false;
    }
    return task.terminationStatus() == 0;
}

bool repairDanglingResolverLink() {
    const char* env = std::getenv("TAVROVPN_RESOLV_CONF");
    const std::string resolv = env && env[0] == '/' ? env : "/etc/resolv.conf";
    const std::string records = tunnelRecordDir();
    const std::string state = records.substr(0, records.rfind('/'));
    const std::string live = state.substr(0, state.rfind('/')) + "/tavrovpn-resolv.conf";
    char target[4096];
    const ssize_t n = ::readlink(resolv.c_str(), target, sizeof target - 1);
    if (n <= 0 || std::string(target, static_cast<size_t>(n)) != live) return false;
    struct stat st {};
    if (::lstat(live.c_str(), &st) == 0 || errno != ENOENT) return false;
    const std::string tmp = resolv + ".tavrovpn-repair";
    ::unlink(tmp.c_str());
    UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd.valid() || ::fchmod(fd.get(), 0644) != 0 || ::rename(tmp.c_str(), resolv.c_str()) != 0) {
        ::unlink(tmp.c_str());
        hlog("resolver: %s links to the tunnel's vanished file and could not be replaced: %s", resolv.c_str(),
             std::strerror(errno));
        return false;
    }
    hlog("resolver: %s linked to the tunnel's vanished file; an empty file is in its place", resolv.c_str());
    return true;
}

void removeOpenConnectGatewayRoute() {
    const std::string dir = tunnelRecordDir();
    const std::string note = dir.substr(0, dir.rfind('/')) + "/openconnect.gateway";
    UniqueFd fd(::open(note.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    std::string text;
    if (!fd.valid() || !readAll(fd.get(), 64, text)) return;
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    unsigned char buf[sizeof(in6_addr)];
    if (inet_pton(AF_INET, text.c_str(), buf) == 1 || inet_pton(AF_INET6, text.c_str(), buf) == 1) {
        hlog("openconnect ended without its disconnect step: route to %s removed", text.c_str());
        platform::runProgram("/sbin/ip", {"route", "del", text});
    }
    ::unlink(note.c_str());
}

void stopProcess(pid_t pid, uint64_t start, int first) {
    for (int signo : {first, SIGTERM, SIGKILL}) {
        if (!sameProcessAlive(pid, start)) return;
        ::kill(pid, signo);
        const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
        while (sameProcessAlive(pid, start) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
    }
}

int cleanUpVanishedTunnels() {
    const std::string dir = tunnelRecordDir();
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos)
                names.push_back(name);
            if (names.size() >= kMaxRecords) break;
        }
        ::closedir(d);
    }
    int ended = 0;
    for (const std::string& name : names) {
        TunnelRecord r;
        const std::string path = dir + "/" + name;
        if (!readRecord(path, r)) {
            ::unlink(path.c_str());
            continue;
        }
        if (sameProcessAlive(r.helper, r.helperStart)) continue; // its own helper looks after it
        hlog("tunnel of a vanished helper (pid %d): stopping %s pid %d", static_cast<int>(r.helper),
             r.openConnect ? "openconnect" : "openvpn", static_cast<int>(r.program));
        stopProcess(r.program, r.programStart, SIGTERM);
        // A routing-script step still running would switch the resolver or add the gateway route
        // after they are put back: it finishes, or is ended, first.
        if (r.openConnect) settleProcessGroup(r.program, r.programStart, kGroupSettle, true);
        if ((r.dnsSwitched || r.openConnect) && restoreResolver())
            hlog("tunnel of a vanished helper: resolver restored");
        if (r.openConnect) removeOpenConnectGatewayRoute();
        ::unlink(path.c_str());
        ++ended;
    }
    return ended;
}

} // namespace helper
