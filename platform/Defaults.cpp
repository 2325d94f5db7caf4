#include "platform/Defaults.h"

#include "platform/FileIO.h"
#include "platform/Log.h"
#include "platform/Paths.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

// A preference file this large is not one we wrote; treat it like a corrupt one.
constexpr off_t kMaxFileBytes = 8 << 20;

enum class LoadResult { Loaded, Missing, Corrupt, Unreadable };

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }

private:
    int fd_;
};

bool ensureDir(const std::string& dir) {
    std::error_code ec;
    if (std::filesystem::is_directory(dir, ec)) return true;
    std::filesystem::create_directories(dir, ec);
    if (ec) return false;
    ::chmod(dir.c_str(), 0700);
    return true;
}

// Strict decimal integer: optional sign, then digits, nothing else; overflow is unreadable.
std::optional<long long> parseInteger(const std::string& s) {
    const char* b = s.data();
    const char* e = b + s.size();
    if (b != e && *b == '+') ++b;
    if (b == e) return std::nullopt;
    long long v = 0;
    auto [ptr, ec] = std::from_chars(b, e, v);
    if (ec != std::errc() || ptr != e) return std::nullopt;
    return v;
}

LoadResult readFile(const std::string& path, nlohmann::json& out) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return errno == ENOENT ? LoadResult::Missing : LoadResult::Unreadable;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return LoadResult::Unreadable;
    // Tighten a file that an older build or the user left readable by others.
    if ((st.st_mode & 077) != 0 && st.st_uid == ::geteuid()) ::fchmod(fd.get(), 0600);
    if (st.st_size > kMaxFileBytes) return LoadResult::Corrupt;
    std::string text;
    if (!readAll(fd.get(), static_cast<size_t>(kMaxFileBytes), text)) return LoadResult::Corrupt;
    auto parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded() || !parsed.is_object()) return LoadResult::Corrupt;
    out = std::move(parsed);
    return LoadResult::Loaded;
}

} // namespace

Defaults::Defaults(std::string filePath) : path_(std::move(filePath)) {
    std::lock_guard lock(mu_);
    loadLocked();
}

Defaults& Defaults::standard() {
    static Defaults store(xdgConfigHome() + "/norvell/tavrovpn/defaults.json");
    return store;
}

void Defaults::loadLocked() {
    nlohmann::json fresh;
    switch (readFile(path_, fresh)) {
    case LoadResult::Loaded:
        data_ = std::move(fresh);
        break;
    case LoadResult::Missing:
        data_ = nlohmann::json::object();
        break;
    case LoadResult::Unreadable:
        // Keep what is in memory; saving is refused until the file can be read again.
        logInfo("defaults: cannot read %s: %s", path_.c_str(), std::strerror(errno));
        break;
    case LoadResult::Corrupt: {
        const std::string aside = path_ + ".corrupt";
        if (::rename(path_.c_str(), aside.c_str()) == 0) {
            logInfo("defaults: %s was unreadable, kept as %s; starting empty", path_.c_str(), aside.c_str());
            data_ = nlohmann::json::object();
        } else {
            logInfo("defaults: %s is corrupt and could not be moved aside: %s", path_.c_str(),
                    std::strerror(errno));
        }
        break;
    }
    }
}

bool Defaults::saveLocked() {
    const std::string dir = parentDir(path_);
    if (!ensureDir(dir)) return false;
    // Invalid UTF-8 in a value must not make the whole store unwritable.
    const std::string text = data_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";

    if (!replaceFile(path_, text)) {
        logInfo("defaults: cannot write %s: %s", path_.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

bool Defaults::mutateLocked(const std::function<void(nlohmann::json&)>& change) {
    const std::string dir = parentDir(path_);
    ensureDir(dir);
    // The directory lock serialises writers across instances and processes; re-reading under it
    // keeps their keys instead of overwriting them with a stale copy.
    Fd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dfd.get() >= 0) {
        while (::flock(dfd.get(), LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    nlohmann::json onDisk;
    LoadResult r = readFile(path_, onDisk);
    if (r == LoadResult::Loaded) {
        data_ = std::move(onDisk);
    } else if (r == LoadResult::Corrupt) {
        loadLocked();
    } else if (r == LoadResult::Unreadable) {
        change(data_);
        logInfo("defaults: %s cannot be read; change kept in memory only", path_.c_str());
        return false;
    }
    change(data_);
    return saveLocked(); // the lock is released when dfd closes
}

bool Defaults::hasObject(const std::string& key) const {
    std::lock_guard lock(mu_);
    return data_.contains(key);
}

std::optional<std::string> Defaults::stringForKey(const std::string& key) const {
    std::lock_guard lock(mu_);
    auto it = data_.find(key);
    if (it == data_.end()) return std::nullopt;
    const auto& v = *it;
    if (v.is_string()) return v.get<std::string>();
    // is_number_integer() also holds for unsigned values: test those first.
    if (v.is_number_unsigned()) return std::to_string(v.get<unsigned long long>());
    if (v.is_number_integer()) return std::to_string(v.get<long long>());
    if (v.is_boolean()) return std::string(v.get<bool>() ? "1" : "0");
    if (v.is_number_float()) {
        char buf[64];
        auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v.get<double>());
        if (ec == std::errc()) return std::string(buf, p);
    }
    return std::nullopt;
}

std::optional<long long> Defaults::integerForKey(const std::string& key) const {
    std::lock_guard lock(mu_);
    auto it = data_.find(key);
    if (it == data_.end()) return std::nullopt;
    const auto& v = *it;
    if (v.is_number_unsigned()) {
        auto u = v.get<unsigned long long>();
        if (u > static_cast<unsigned long long>(std::numeric_limits<long long>::max())) return std::nullopt;
        return static_cast<long long>(u);
    }
    if (v.is_number_integer()) return v.get<long long>();
    if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
    if (v.is_number_float()) {
        double d = v.get<double>();
        if (!std::isfinite(d) || d >= 9.2e18 || d <= -9.2e18) return std::nullopt;
        return static_cast<long long>(d);
    }
    if (v.is_string()) return parseInteger(v.get<std::string>());
    return std::nullopt;
}

bool Defaults::setString(const std::string& key, const std::string& value) {
    std::lock_guard lock(mu_);
    return mutateLocked([&](nlohmann::json& d) { d[key] = value; });
}

bool Defaults::setInteger(const std::string& key, long long value) {
    std::lock_guard lock(mu_);
    return mutateLocked([&](nlohmann::json& d) { d[key] = value; });
}

bool Defaults::removeObject(const std::string& key) {
    std::lock_guard lock(mu_);
    return mutateLocked([&](nlohmann::json& d) { d.erase(key); });
}

void Defaults::reload() {
    std::lock_guard lock(mu_);
    loadLocked();
}

} // namespace platform
