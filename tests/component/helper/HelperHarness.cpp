#include "HelperHarness.h"

#include "helper/HelperLog.h"
#include "helper/socketsrv.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace harness {
namespace {

int g_logFd = -1;

void logToFile(const char* line) {
    std::string text = std::string(line) + "\n";
    ssize_t n = ::write(g_logFd, text.data(), text.size());
    (void)n;
}

} // namespace

TempDir::TempDir(const std::string& tag) {
    std::string tmpl = "/tmp/" + tag + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) std::abort();
    path = buf.data();
    chmod(path.c_str(), 0755);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

ProgramCopies::ProgramCopies() {
    std::filesystem::create_directories(dir.path + "/OpenVPN");
    std::filesystem::create_directories(dir.path + "/openconnect");
    setenv("TVAPPHELPER_PROGRAM_DIR", dir.path.c_str(), 1);
}

ProgramCopies::~ProgramCopies() {
    unsetenv("TVAPPHELPER_PROGRAM_DIR");
}

void ProgramCopies::write(const std::string& relative, const std::string& script) const {
    writeFile(path(relative), script, 0755);
}

ForkedHelper::ForkedHelper(const std::string& dir, const std::string& allowFile)
    : socket_(dir + "/helper.ipc"), logFile_(dir + "/helper.log") {
    const std::string allow = allowFile.empty() ? dir + "/allow" : allowFile;
    pid_ = fork();
    if (pid_ == 0) {
        g_logFd = ::open(logFile_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        setenv("TVAPPHELPER_SOCKET", socket_.c_str(), 1);
        setenv("TVAPPHELPER_ALLOW_FILE", allow.c_str(), 1);
        // Provisioning stays in the scratch folder, and no NetworkManager of this machine is asked.
        if (!std::getenv("TVAPPHELPER_STATE_DIR"))
            setenv("TVAPPHELPER_STATE_DIR", (dir + "/state").c_str(), 1);
        // So do the resolver's and the tunnels' records.
        if (!std::getenv("TAVROVPN_DNS_STATE_DIR"))
            setenv("TAVROVPN_DNS_STATE_DIR", (dir + "/dns-state").c_str(), 1);
        if (!std::getenv("DBUS_SYSTEM_BUS_ADDRESS"))
            setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir + "/no-bus").c_str(), 1);
        helper::setLogSink(logToFile);
        server_start();
        _exit(0);
    }
}

ForkedHelper::~ForkedHelper() {
    if (pid_ > 0 && exitCode_ == -1 && !waitExit(100ms)) {
        kill(pid_, SIGKILL);
        waitExit(5s);
    }
}

bool ForkedHelper::waitExit(std::chrono::milliseconds limit) {
    if (exitCode_ != -1) return true;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        }
        if (r < 0 || std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
}

std::string ForkedHelper::log() const {
    return readFile(logFile_);
}

int connectTo(const std::string& path, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    for (;;) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
        if (fd >= 0) close(fd);
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(10ms);
    }
}

bool sendText(int fd, const std::string& text) {
    return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

std::string recvOnce(int fd, std::chrono::milliseconds limit, bool* eof) {
    if (eof) *eof = false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(limit.count())) <= 0) return std::string();
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
        if (eof) *eof = true;
        return std::string();
    }
    return std::string(buf, static_cast<size_t>(n));
}

bool closedByPeer(int fd, std::chrono::milliseconds limit) {
    bool eof = false;
    std::string extra = recvOnce(fd, limit, &eof);
    return extra.empty() && eof;
}

std::string getVerExchange(const std::string& socketPath, std::chrono::milliseconds connectLimit) {
    const int fd = connectTo(socketPath, connectLimit);
    if (fd < 0) return "no connection";
    std::string out;
    if (sendText(fd, std::string("CMD_SCNETWORK", 14))) out += recvOnce(fd, 3s);
    sendText(fd, "GET_VER");
    out += "," + recvOnce(fd, 3s);
    if (closedByPeer(fd, 3s)) out += "|eof";
    close(fd);
    return out;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& text, mode_t mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }
    chmod(path.c_str(), mode);
}

bool waitForFile(const std::string& path, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    struct stat st {};
    while (stat(path.c_str(), &st) != 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::string buildDir() {
    const char* b = std::getenv("TAVROVPN_BINARY_DIR");
    if (b && b[0]) return b;
    // The test runs from <build>/tests/.
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : exe.parent_path().parent_path().string();
}

} // namespace harness
