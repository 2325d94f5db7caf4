#pragma once
// Small process and file helpers the root-only suites share: reading /proc, checking that a
// loopback port is free, and bounded polling without an event loop.
#include "platform/Task.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace testsupport {

// A variable of the test's environment; "" when unset.
inline std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

inline std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// True when nothing listens on 127.0.0.1:port (a bind succeeds).
inline bool portFree(uint16_t port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

// Alive processes whose working directory is dir: the openvpn that the helper started for a test.
inline std::vector<pid_t> processesIn(const std::filesystem::path& dir) {
    std::vector<pid_t> out;
    DIR* d = opendir("/proc");
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end) continue;
        std::error_code ec;
        const std::filesystem::path cwd =
            std::filesystem::read_symlink(std::filesystem::path("/proc") / e->d_name / "cwd", ec);
        if (!ec && cwd == dir && platform::processAlive(static_cast<pid_t>(pid)))
            out.push_back(static_cast<pid_t>(pid));
    }
    closedir(d);
    return out;
}

template <class Pred> bool waitFor(Pred pred, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return pred();
}

// Runs a shell command line, its output discarded; true when it succeeded.
inline bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// What a program (no shell) prints on stdout, waiting at most 20 s.
inline std::string programOutput(const std::string& path, const std::vector<std::string>& args) {
    platform::Task t;
    t.launchPath = path;
    t.arguments = args;
    t.standardInput = platform::Task::Stdio::Null;
    t.standardOutput = platform::Task::Stdio::Pipe;
    t.standardError = platform::Task::Stdio::Null;
    std::string out;
    if (t.launch()) t.readStandardOutputToEnd(out, std::chrono::seconds(20));
    return out;
}

// Runs tools/fixtures/<script> <verb> from the source tree, two minutes at most; its exit status,
// -1 when it could not run or took longer. `out` receives what it printed.
inline int runFixture(const std::string& script, const std::string& verb, std::string* out = nullptr) {
    platform::Task t;
    t.launchPath = "/bin/bash";
    t.arguments = {env("TAVROVPN_SOURCE_DIR") + "/tools/fixtures/" + script, verb};
    t.standardOutput = out ? platform::Task::Stdio::Pipe : platform::Task::Stdio::Null;
    if (!t.launch()) return -1;
    const auto limit = std::chrono::seconds(120);
    if (out ? !t.readStandardOutputToEnd(*out, limit) : !t.waitUntilExit(limit)) {
        t.kill();
        t.waitUntilExit();
        return -1;
    }
    return t.terminationStatus();
}

// A word for a shell command line, whatever it holds.
inline std::string shellQuoted(const std::string& word) {
    std::string out = "'";
    for (char c : word)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// What a shell command line prints on stdout, at most 64 KiB.
inline std::string commandOutput(const std::string& command) {
    std::string out;
    if (FILE* f = popen(command.c_str(), "r")) {
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0 && out.size() < 65536)
            out.append(buf, n);
        pclose(f);
    }
    return out;
}

// One line (without its newline) from a pipe, waiting at most `limit`; empty on time-out or EOF.
inline std::string readLine(int fd, std::chrono::milliseconds limit) {
    std::string line;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end && line.size() < 4096) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char c;
        if (read(fd, &c, 1) != 1) break;
        if (c == '\n') return line;
        line.push_back(c);
    }
    return {};
}

} // namespace testsupport
