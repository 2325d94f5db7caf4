#include "app/connection/KnownServers.h"

#include "app/service/Constants.h"
#include "platform/FileIO.h"

#include <cerrno>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr const char* kPinPrefix = "pin-sha256:";
constexpr size_t kMaxFileBytes = 64u << 10;

using Entries = std::vector<std::pair<std::string, std::string>>;

enum class Read { Missing, Ok, Failed };

Read readEntries(Entries& entries) {
    const int fd = ::open(KnownServers::path().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT ? Read::Missing : Read::Failed;
    std::string text;
    const bool ok = platform::readAll(fd, kMaxFileBytes, text);
    ::close(fd);
    if (!ok) return Read::Failed;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const size_t blank = line.find(' ');
        if (blank == std::string::npos || line.compare(blank + 1, 11, kPinPrefix) != 0) continue;
        entries.emplace_back(line.substr(0, blank), line.substr(blank + 12));
    }
    return Read::Ok;
}

} // namespace

std::string KnownServers::path() {
    return Constants::tvrootPath() + "/openconnect/known_servers";
}

KnownServers::Lookup KnownServers::lookup(const std::string& host, std::string& pin) {
    Entries entries;
    const Read r = readEntries(entries);
    if (r == Read::Failed) return Lookup::Unreadable;
    for (const auto& [h, p] : entries)
        if (h == host) {
            pin = p;
            return Lookup::Known;
        }
    return Lookup::Unknown;
}

bool KnownServers::record(const std::string& host, const std::string& pin) {
    Entries entries;
    // An unreadable file is not replaced by one that forgot every other server.
    if (readEntries(entries) == Read::Failed) return false;
    std::erase_if(entries, [&](const auto& e) { return e.first == host; });
    entries.emplace_back(host, pin);
    if (entries.size() > kMaxServers) entries.erase(entries.begin(), entries.end() - kMaxServers);
    std::string text;
    for (const auto& [h, p] : entries)
        text += h + " " + kPinPrefix + p + "\n";
    return platform::replaceFile(path(), text);
}

void KnownServers::forgetAll() {
    ::unlink(path().c_str());
}
