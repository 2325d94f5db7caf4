#include "app/shell/WorkingFolder.h"

#include "platform/Log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

void createWorkingFolder(const std::string& root, std::error_code& ec) {
    ec.clear();
    std::filesystem::create_directories(std::filesystem::path(root).parent_path(), ec);
    if (ec) return;
    if (::mkdir(root.c_str(), 0700) != 0) ec = std::error_code(errno, std::generic_category());
}

void tightenWorkingFolder(const std::string& root) {
    const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 077) != 0) {
        if (::fchmod(fd, 0700) != 0)
            platform::logInfo("working folder stays open to others: %s", std::strerror(errno));
    }
    ::close(fd);
}

bool removeOpenConnectPassword(const std::string& root) {
    return ::unlink((root + "/openconnect/password.txt").c_str()) == 0 || errno == ENOENT;
}
