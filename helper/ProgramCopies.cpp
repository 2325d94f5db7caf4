#include "helper/ProgramCopies.h"

#include "helper/HelperLog.h"
#include "platform/Paths.h"

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <vector>

namespace helper {
namespace {

bool writableByOthers(const struct stat& st) {
    if (!(st.st_mode & (S_IWGRP | S_IWOTH))) return false;
    // In a sticky folder nobody but the owner of an entry may rename or remove it.
    return !(S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX));
}

} // namespace

std::string helperProgramDir() {
    const char* env = std::getenv("TVAPPHELPER_PROGRAM_DIR");
    if (env && env[0]) return env;
    const std::string exe = platform::executablePath();
    const size_t slash = exe.rfind('/');
    return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

bool isRootOnlyProgram(const std::string& path, std::string& resolved, std::string& reason) {
    resolved.clear();
    char real[PATH_MAX];
    if (path.empty() || !::realpath(path.c_str(), real)) {
        reason = "missing";
        return false;
    }
    const std::string full = real;
    // Every folder from / down, then the file itself.
    std::vector<std::string> parts{"/"};
    for (size_t pos = 1; pos <= full.size();) {
        size_t next = full.find('/', pos);
        if (next == std::string::npos) next = full.size();
        parts.push_back(full.substr(0, next));
        pos = next + 1;
    }
    for (const std::string& part : parts) {
        struct stat st {};
        if (::lstat(part.c_str(), &st) != 0) {
            reason = part + " cannot be read";
            return false;
        }
        if (st.st_uid != 0) {
            reason = part + " does not belong to root";
            return false;
        }
        if (writableByOthers(st)) {
            reason = part + " is writable by a user other than root";
            return false;
        }
    }
    struct stat st {};
    if (::stat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !(st.st_mode & S_IXUSR)) {
        reason = "not an executable file";
        return false;
    }
    resolved = full;
    return true;
}

std::string rootOnlyCopy(const char* relative) {
    const std::string path = helperProgramDir() + "/" + relative;
    std::string resolved, reason;
    if (isRootOnlyProgram(path, resolved, reason)) return resolved;
    hlog("program refused: %s (%s)", path.c_str(), reason.c_str());
    return std::string();
}

} // namespace helper
