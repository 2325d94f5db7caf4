#include "helper/InstanceLimits.h"

#include "helper/TunnelRecord.h"
#include "platform/FileIO.h"

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace helper {
namespace {

constexpr size_t kMaxCounterBytes = 64;

// A root-only folder beside the tunnel records; empty when it cannot be had.
std::string limitsDir(const char* name) {
    const std::string records = tunnelRecordDir();
    const std::string base = records.substr(0, records.rfind('/'));
    const std::string dir = base + "/" + name;
    std::string why;
    if (!platform::privateDir(base, why) || !platform::privateDir(dir, why)) return std::string();
    return dir;
}

UniqueFd openPlain(const std::string& path) {
    return UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
}

} // namespace

bool InstanceSlot::acquire(uid_t uid) {
    if (uid == 0) return true;
    const std::string dir = limitsDir("instances");
    if (dir.empty()) return false;
    for (int slot = 0; slot < kMaxInstancesPerUid; ++slot) {
        UniqueFd fd = openPlain(dir + "/" + std::to_string(uid) + "." + std::to_string(slot));
        if (!fd.valid()) return false;
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
            lock_ = std::move(fd);
            return true;
        }
    }
    return false;
}

long refusalsToReport(uid_t uid) {
    const std::string dir = limitsDir("refused");
    if (dir.empty()) return 0;
    UniqueFd fd = openPlain(dir + "/" + std::to_string(uid));
    if (!fd.valid() || ::flock(fd.get(), LOCK_EX) != 0) return 0;
    std::string text;
    long long second = 0;
    long unlogged = 0;
    if (platform::readAll(fd.get(), kMaxCounterBytes, text) &&
        std::sscanf(text.c_str(), "%lld %ld", &second, &unlogged) != 2)
        second = 0, unlogged = 0;
    const long long now = static_cast<long long>(std::time(nullptr));
    long report = -1;
    if (now != second) {
        report = unlogged;
        second = now;
        unlogged = 0;
    } else {
        ++unlogged;
    }
    char out[kMaxCounterBytes];
    const int len = std::snprintf(out, sizeof out, "%lld %ld\n", second, unlogged);
    if (::ftruncate(fd.get(), 0) == 0 && ::lseek(fd.get(), 0, SEEK_SET) == 0)
        platform::writeAll(fd.get(), std::string(out, static_cast<size_t>(len)));
    return report;
}

} // namespace helper
