#include "helper/WorkingFolder.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace helper {
namespace {

// Below the root path: no link of any kind, no other mount, nothing outside the folder.
constexpr unsigned long long kInside =
    RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;

int openat2(int dir, const char* path, int flags, mode_t mode, unsigned long long resolve) {
    open_how how{};
    how.flags = static_cast<unsigned long long>(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) ? mode : 0;
    how.resolve = resolve;
    return static_cast<int>(::syscall(SYS_openat2, dir, path, &how, sizeof how));
}

std::string whyNotOpened(int err) {
    switch (err) {
    case ELOOP:
        return "a symbolic link";
    case EXDEV:
        return "another mount";
    default:
        return std::strerror(err);
    }
}

// Regular and with a single name: a hard link to a file elsewhere is not the user's to hand over.
bool isPlainFile(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_nlink == 1;
}

// /proc in any spelling: the folders of other processes' mount namespaces are reached through it.
bool namesProc(const std::string& path) {
    size_t at = 0;
    while (at < path.size() &&
           (path[at] == '/' || (path[at] == '.' && (at + 1 == path.size() || path[at + 1] == '/'))))
        ++at;
    return path.compare(at, 4, "proc") == 0 && (at + 4 == path.size() || path[at + 4] == '/');
}

} // namespace

bool WorkingFolder::open(const std::string& rootPath, const char* sub, const Credentials& user,
                         std::string& reason) {
    if (rootPath.empty() || rootPath[0] != '/' || namesProc(rootPath)) {
        reason = "not a folder path the helper opens";
        return false;
    }
    AsUser as(user);
    if (!as.active()) {
        reason = "the user's rights could not be taken";
        return false;
    }
    // Links the user made on the way to the root are the user's to make: they are followed with the
    // user's rights. A magic link is not: it would lead into another process's mount namespace.
    UniqueFd root(openat2(AT_FDCWD, rootPath.c_str(), O_PATH | O_DIRECTORY, 0, RESOLVE_NO_MAGICLINKS));
    struct statfs fs {};
    if (!root.valid()) {
        reason = whyNotOpened(errno);
        return false;
    }
    if (::fstatfs(root.get(), &fs) != 0 || fs.f_type == PROC_SUPER_MAGIC) {
        reason = "a folder under /proc";
        return false;
    }
    UniqueFd dir(openat2(root.get(), sub, O_RDONLY | O_DIRECTORY, 0, kInside));
    if (!dir.valid()) {
        reason = std::string(sub) + ": " + whyNotOpened(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(dir.get(), &st) != 0 || st.st_uid != user.uid) {
        reason = "does not belong to uid " + std::to_string(user.uid);
        return false;
    }
    dir_ = std::move(dir);
    user_ = user;
    return true;
}

std::string WorkingFolder::childPath() const {
    return "/proc/self/fd/" + std::to_string(dir_.get());
}

UniqueFd WorkingFolder::openPlainFile(const std::string& relative, std::string& reason) const {
    AsUser as(user_);
    if (!as.active()) {
        reason = "the user's rights could not be taken";
        return UniqueFd();
    }
    // Looked at before it is opened: opening a device or a FIFO is an act of its own.
    UniqueFd path(openat2(dir_.get(), relative.c_str(), O_PATH, 0, kInside));
    if (!path.valid()) {
        reason = whyNotOpened(errno);
        return UniqueFd();
    }
    struct stat st {};
    if (::fstat(path.get(), &st) != 0 || !isPlainFile(st) || st.st_uid != user_.uid) {
        reason = "not a plain file of the user's";
        return UniqueFd();
    }
    // The very file looked at, opened for reading through this process's own descriptor of it.
    const std::string self = "/proc/self/fd/" + std::to_string(path.get());
    UniqueFd fd(::open(self.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) reason = std::strerror(errno);
    return fd;
}

UniqueFd WorkingFolder::openOwnedForReading(const char* name, std::string& reason) const {
    if (std::strchr(name, '/')) {
        reason = "not a name in the folder";
        return UniqueFd();
    }
    return openPlainFile(name, reason);
}

bool WorkingFolder::readOwnedFile(const std::string& relative, size_t limit, std::string& content,
                                  std::string& reason) const {
    if (relative.empty() || relative[0] == '/' || relative == ".." || relative.rfind("../", 0) == 0 ||
        relative.find("/../") != std::string::npos ||
        (relative.size() >= 3 && relative.compare(relative.size() - 3, 3, "/..") == 0)) {
        reason = "not a path inside the folder";
        return false;
    }
    UniqueFd fd = openPlainFile(relative, reason);
    if (!fd.valid()) return false;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || static_cast<size_t>(st.st_size) > limit ||
        !readAll(fd.get(), limit, content)) {
        reason = "unreadable or larger than " + std::to_string(limit) + " bytes";
        return false;
    }
    return true;
}

UniqueFd WorkingFolder::createFresh(const char* name, mode_t mode, std::string& reason, int access) const {
    AsUser as(user_);
    if (!as.active() || std::strchr(name, '/')) {
        reason = as.active() ? "not a name in the folder" : "the user's rights could not be taken";
        return UniqueFd();
    }
    ::unlinkat(dir_.get(), name, 0);
    UniqueFd fd(openat2(dir_.get(), name, access | O_CREAT | O_EXCL | O_NOFOLLOW, mode, kInside));
    if (!fd.valid()) reason = errno == EEXIST ? "put back while it was being replaced" : whyNotOpened(errno);
    return fd;
}

void WorkingFolder::remove(const char* name) const {
    AsUser as(user_);
    if (as.active() && !std::strchr(name, '/')) ::unlinkat(dir_.get(), name, 0);
}

} // namespace helper
