#include "helper/SocketActivation.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace helper {
namespace {

// A whole decimal number without sign or blanks; false for anything else.
bool parseCount(const char* text, long& value) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < 0 || text[0] == '+' || text[0] == '-') return false;
    value = v;
    return true;
}

} // namespace

int handedSocket() {
    long pid = 0, count = 0;
    const bool forUs = parseCount(std::getenv("LISTEN_PID"), pid) && pid == static_cast<long>(::getpid()) &&
                       parseCount(std::getenv("LISTEN_FDS"), count) && count >= 1;
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    if (!forUs) return -1;
    // The helper serves one connection: anything beyond the first descriptor is not ours to keep.
    for (long fd = kFirstHandedFd + 1; fd < kFirstHandedFd + count && fd < 1024; ++fd)
        ::close(static_cast<int>(fd));
    struct stat st {};
    if (::fstat(kFirstHandedFd, &st) != 0 || !S_ISSOCK(st.st_mode)) return -1;
    ::fcntl(kFirstHandedFd, F_SETFD, FD_CLOEXEC);
    return kFirstHandedFd;
}

bool isListeningSocket(int fd) {
    int on = 0;
    socklen_t len = sizeof on;
    return ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &on, &len) == 0 && on != 0;
}

} // namespace helper
