#include "platform/FileIO.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

bool readAll(int fd, size_t limit, std::string& text) {
    text.clear();
    char chunk[16384];
    for (int rounds = 0; rounds < 1 << 16; ++rounds) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (text.size() + static_cast<size_t>(n) > limit) return false;
        text.append(chunk, static_cast<size_t>(n));
    }
    return false;
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string parentDir(const std::string& path) {
    const auto parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

bool privateDir(const std::string& dir, std::string& error) {
    std::error_code ec;
    if (!std::filesystem::exists(dir, ec)) {
        std::filesystem::create_directories(dir, ec);
        if (ec) {
            error = "cannot create " + dir + ": " + ec.message();
            return false;
        }
        ::chmod(dir.c_str(), 0700);
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = dir + " is not a directory";
        return false;
    }
    if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH))) {
        error = dir + " is not owned by us or is writable by others";
        return false;
    }
    return true;
}

bool replaceFile(const std::string& path, const std::string& data) {
    const std::string dir = parentDir(path);
    std::string tmpl = dir + "/." + std::filesystem::path(path).filename().string() + ".XXXXXX";
    const int fd = ::mkostemp(tmpl.data(), O_CLOEXEC); // created 0600
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, data) && ::fsync(fd) == 0;
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(tmpl.c_str(), path.c_str()) == 0) {
        const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            ::fsync(dfd);
            ::close(dfd);
        }
        return true;
    }
    const int saved = errno;
    ::unlink(tmpl.c_str());
    errno = saved;
    return false;
}

} // namespace platform
