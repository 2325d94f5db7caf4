#pragma once
#include <chrono>
#include <string>
#include <sys/types.h>

// Real sockets and real processes for the helper's component tests.
namespace harness {

using namespace std::chrono_literals;

// A temporary folder (mode 0755 so that other users may reach a socket in it), removed at the end.
struct TempDir {
    std::string path;
    explicit TempDir(const std::string& tag = "tvhelper");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};

// The helper's own program copies for a test: a root-owned folder with OpenVPN/ and openconnect/,
// named by TVAPPHELPER_PROGRAM_DIR while it lives. Tests write the programs they need.
struct ProgramCopies {
    TempDir dir{"tvprograms"};
    ProgramCopies();
    ~ProgramCopies();
    ProgramCopies(const ProgramCopies&) = delete;
    ProgramCopies& operator=(const ProgramCopies&) = delete;
    // relative: "OpenVPN/openvpn", "OpenVPN/set-dns.sh", "openconnect/openconnect", ...
    void write(const std::string& relative, const std::string& script) const;
    std::string path(const std::string& relative) const { return dir.path + "/" + relative; }
};

// server_start in a forked child, its log lines collected in a file. The socket is
// <dir>/helper.ipc; the allow file is <dir>/allow unless given. Unless the environment names them,
// the stores live in <dir>/state and the system bus is one that does not exist.
class ForkedHelper {
public:
    explicit ForkedHelper(const std::string& dir, const std::string& allowFile = std::string());
    ~ForkedHelper();
    ForkedHelper(const ForkedHelper&) = delete;
    ForkedHelper& operator=(const ForkedHelper&) = delete;

    const std::string& socketPath() const { return socket_; }
    pid_t pid() const { return pid_; }
    // Waits for the child to end; false on time-out. exitCode then holds its status.
    bool waitExit(std::chrono::milliseconds limit = 10s);
    int exitCode() const { return exitCode_; }
    std::string log() const;

private:
    std::string socket_, logFile_;
    pid_t pid_ = -1;
    int exitCode_ = -1;
};

// Connects, retrying while the server is not listening yet; -1 after the time limit.
int connectTo(const std::string& path, std::chrono::milliseconds limit = 5s);
bool sendText(int fd, const std::string& text);
// One receive, waiting at most limit; "" on end of file or time-out (eof tells which).
std::string recvOnce(int fd, std::chrono::milliseconds limit = 5s, bool* eof = nullptr);
// True when the peer closes within the limit without sending anything more.
bool closedByPeer(int fd, std::chrono::milliseconds limit = 5s);
// What a client gets for "CMD_SCNETWORK" then "GET_VER": the two replies, then "|eof" if closed.
std::string getVerExchange(const std::string& socketPath, std::chrono::milliseconds connectLimit = 5s);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text, mode_t mode = 0644);
bool waitForFile(const std::string& path, std::chrono::milliseconds limit = 5s);
std::string buildDir();

} // namespace harness
