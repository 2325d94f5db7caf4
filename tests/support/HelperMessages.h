#pragma once
// Helper messages in the exact shapes the application sends, for the suites that talk to the helper.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace testsupport {

// A certificate pin of the shape openconnect's probe prints (SHA-256, base64).
inline const std::string kTestPin = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";

inline std::string openConnectStart(const std::string& root, const std::string& host = "127.0.0.1",
                                    const std::string& user = "tb000001") {
    return "CMD_OPENCONNECT_START," + root + "," + user + ",https://" + host + ":443/," + kTestPin;
}

// A connection to the helper at $TVAPPHELPER_SOCKET, or -1.
inline int connectHelper() {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const char* path = std::getenv("TVAPPHELPER_SOCKET");
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path ? path : "");
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    close(fd);
    return -1;
}

// One answer of the helper: its bytes, "(eof)" when it closed, "(nothing)" when it said nothing
// within limit.
inline std::string helperAnswer(int fd, std::chrono::milliseconds limit) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(limit.count())) <= 0) return "(nothing)";
    char buf[512];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    // A reset (the helper closed with our message unread) is a close too.
    return n <= 0 ? "(eof)" : std::string(buf, static_cast<size_t>(n));
}

// One connection: each message sent as its exact bytes, each answer read; the answers
// ";"-separated, ending with "(eof);" once the helper closed (or "(nothing);" when it kept the
// connection open). A tunnel it started ends with the connection.
inline std::string converse(const std::vector<std::string>& messages,
                            std::chrono::milliseconds limit = std::chrono::seconds(3)) {
    const int fd = connectHelper();
    if (fd < 0) return "(no connection)";
    std::string out, answer;
    for (const std::string& m : messages) {
        (void)send(fd, m.data(), m.size(), MSG_NOSIGNAL);
        answer = helperAnswer(fd, limit);
        out += answer + ";";
        if (answer == "(eof)" || answer == "(nothing)") break;
    }
    if (answer != "(eof)") out += helperAnswer(fd, limit) + ";";
    close(fd);
    return out;
}

} // namespace testsupport
