#include "platform/AllowFile.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

constexpr size_t kMaxFileBytes = 64 * 1024;
constexpr size_t kMaxEntries = 1024;

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool uidFromEntry(const std::string& entry, uid_t& uid) {
    if (entry.find_first_not_of("0123456789") == std::string::npos) {
        if (entry.size() > 10) return false;
        unsigned long long v = std::strtoull(entry.c_str(), nullptr, 10);
        if (v >= static_cast<uid_t>(-1)) return false; // (uid_t)-1 means "no user"
        uid = static_cast<uid_t>(v);
        return true;
    }
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwnam_r(entry.c_str(), &pw, buf.data(), buf.size(), &found) != 0 || !found) return false;
    uid = found->pw_uid;
    return true;
}

} // namespace

std::string allowFilePath() {
    const char* env = std::getenv("TVAPPHELPER_ALLOW_FILE");
    return (env && env[0]) ? env : kDefaultAllowFile;
}

std::set<uid_t> loadAllowedUids(const std::string& path) {
    std::set<uid_t> uids;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return uids;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH))) {
        ::close(fd);
        return uids;
    }
    std::string text;
    char chunk[4096];
    while (text.size() < kMaxFileBytes) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    if (text.size() > kMaxFileBytes) text.resize(kMaxFileBytes);

    size_t pos = 0, entries = 0;
    while (pos < text.size() && entries < kMaxEntries) {
        size_t nl = text.find('\n', pos);
        std::string line = trim(text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos));
        pos = nl == std::string::npos ? text.size() : nl + 1;
        if (line.empty() || line[0] == '#' || line.find('\0') != std::string::npos) continue;
        ++entries;
        uid_t uid;
        if (uidFromEntry(line, uid)) uids.insert(uid);
    }
    return uids;
}

} // namespace platform
