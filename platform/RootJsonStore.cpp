#include "platform/RootJsonStore.h"

#include "platform/FileIO.h"
#include "platform/Log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

// Far beyond what the helper ever stores; anything larger was not written by it.
constexpr off_t kMaxFileBytes = 4 << 20;


} // namespace

std::string helperStateDir() {
    const char* env = std::getenv("TVAPPHELPER_STATE_DIR");
    return (env && env[0] == '/') ? env : "/var/lib/tavrovpn";
}

RootJsonStore::RootJsonStore(std::string path) : path_(std::move(path)) {}

RootJsonStore::~RootJsonStore() {
    if (lockFd_ >= 0) ::close(lockFd_); // releases the lock
}

bool RootJsonStore::open() {
    doc_ = nlohmann::json::object();
    if (!privateDir(parentDir(path_), error_)) return false;
    if (lockFd_ < 0) {
        const std::string lockPath = path_ + ".lock";
        lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (lockFd_ < 0) {
            error_ = "cannot open " + lockPath + ": " + std::strerror(errno);
            return false;
        }
        while (::flock(lockFd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                error_ = "cannot lock " + lockPath;
                return false;
            }
        }
    }
    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        error_ = "cannot open " + path_ + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        error_ = path_ + " is not a regular file of ours";
        return false;
    }
    if (st.st_mode & 077) ::fchmod(fd, 0600);
    std::string text;
    bool tooLarge = st.st_size > kMaxFileBytes;
    char buf[16384];
    while (!tooLarge) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
        tooLarge = text.size() > static_cast<size_t>(kMaxFileBytes);
    }
    ::close(fd);
    auto parsed = tooLarge ? nlohmann::json(nlohmann::json::value_t::discarded)
                           : nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        const std::string aside = path_ + ".corrupt";
        if (::rename(path_.c_str(), aside.c_str()) != 0) {
            error_ = path_ + " is corrupt and cannot be moved aside";
            return false;
        }
        logInfo("store: %s was unreadable, kept as %s; starting empty", path_.c_str(), aside.c_str());
        return true;
    }
    doc_ = std::move(parsed);
    return true;
}

bool RootJsonStore::commit() {
    if (lockFd_ < 0) {
        error_ = "store not open";
        return false;
    }
    std::string text;
    try {
        text = doc_.dump(2) + "\n";
    } catch (const nlohmann::json::exception&) {
        error_ = "a value is not valid UTF-8";
        return false;
    }
    if (!replaceFile(path_, text)) {
        error_ = std::string("cannot write ") + path_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace platform
