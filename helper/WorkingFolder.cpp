#include "helper/WorkingFolder.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace helper {
namespace {

constexpr int kOpenFlags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

std::string whyNotOpened(int err) {
    return err == ELOOP ? "a symbolic link" : std::strerror(err);
}

// Regular and with a single name: a hard link to a file elsewhere is not the user's to hand over.
bool isPlainFile(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_nlink == 1;
}

} // namespace

bool WorkingFolder::open(const std::string& path, uid_t owner, std::string& reason) {
    // Links on the way are followed: what counts is whose folder it turns out to be.
    UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) {
        reason = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(dir.get(), &st) != 0 || st.st_uid != owner) {
        reason = "does not belong to uid " + std::to_string(owner);
        return false;
    }
    dir_ = std::move(dir);
    owner_ = owner;
    return true;
}

std::string WorkingFolder::childPath() const {
    return "/proc/self/fd/" + std::to_string(dir_.get());
}

UniqueFd WorkingFolder::openOwnedForReading(const char* name, std::string& reason) const {
    UniqueFd fd(::openat(dir_.get(), name, O_RDONLY | kOpenFlags));
    if (!fd.valid()) {
        reason = whyNotOpened(errno);
        return UniqueFd();
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !isPlainFile(st) || st.st_uid != owner_) {
        reason = "not a regular file of the user's";
        return UniqueFd();
    }
    return fd;
}

bool WorkingFolder::readOwnedFile(const std::string& relative, size_t limit, std::string& content,
                                  std::string& reason) const {
    if (relative.empty() || relative[0] == '/') {
        reason = "not a path inside the folder";
        return false;
    }
    UniqueFd dir;
    int at = dir_.get();
    size_t start = 0;
    for (int depth = 0; depth < 32; ++depth) {
        const size_t slash = relative.find('/', start);
        const std::string part =
            relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part == "..") {
            reason = "not a path inside the folder";
            return false;
        }
        if (slash == std::string::npos) {
            UniqueFd fd(::openat(at, part.c_str(), O_RDONLY | kOpenFlags));
            struct stat st {};
            if (!fd.valid()) {
                reason = whyNotOpened(errno);
                return false;
            }
            if (::fstat(fd.get(), &st) != 0 || !isPlainFile(st) || st.st_uid != owner_) {
                reason = "not a plain file of the user's";
                return false;
            }
            if (static_cast<size_t>(st.st_size) > limit || !readAll(fd.get(), limit, content)) {
                reason = "unreadable or larger than " + std::to_string(limit) + " bytes";
                return false;
            }
            return true;
        }
        if (!part.empty() && part != ".") {
            UniqueFd next(::openat(at, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
            if (!next.valid()) {
                reason = part + ": " + whyNotOpened(errno);
                return false;
            }
            dir = std::move(next);
            at = dir.get();
        }
        start = slash + 1;
    }
    reason = "too deep";
    return false;
}

UniqueFd WorkingFolder::openForWriting(const char* name, mode_t mode, bool truncate,
                                       std::string& reason) const {
    // No O_TRUNC here: nothing is cut before the file has been seen to be a plain one.
    UniqueFd fd(::openat(dir_.get(), name, O_WRONLY | O_CREAT | kOpenFlags, mode));
    if (!fd.valid()) {
        reason = whyNotOpened(errno);
        return UniqueFd();
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !isPlainFile(st)) {
        reason = "not a regular file";
        return UniqueFd();
    }
    if (truncate && ::ftruncate(fd.get(), 0) != 0) {
        reason = std::strerror(errno);
        return UniqueFd();
    }
    return fd;
}

UniqueFd WorkingFolder::createFresh(const char* name, mode_t mode, std::string& reason) const {
    remove(name);
    UniqueFd fd(::openat(dir_.get(), name, O_WRONLY | O_CREAT | O_EXCL | kOpenFlags, mode));
    if (!fd.valid()) reason = errno == EEXIST ? "put back while it was being replaced" : whyNotOpened(errno);
    return fd;
}

void WorkingFolder::remove(const char* name) const {
    ::unlinkat(dir_.get(), name, 0);
}

} // namespace helper
