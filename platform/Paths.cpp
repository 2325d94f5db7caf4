#include "platform/Paths.h"

#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

std::string envOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    // XDG: a relative path in these variables is invalid and must be ignored.
    if (v && v[0] == '/') return v;
    return fallback;
}

} // namespace

std::string homeDir() {
    if (const char* h = std::getenv("HOME"); h && h[0]) return h;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

std::string xdgDataHome() { return envOr("XDG_DATA_HOME", homeDir() + "/.local/share"); }
std::string xdgCacheHome() { return envOr("XDG_CACHE_HOME", homeDir() + "/.cache"); }
std::string xdgConfigHome() { return envOr("XDG_CONFIG_HOME", homeDir() + "/.config"); }

std::string executablePath() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

std::string bundlePath() {
    if (const char* b = std::getenv("TAVROVPN_BUNDLE"); b && b[0] == '/') return b;
    std::filesystem::path exe = executablePath();
    if (exe.empty()) return {};
    // exe = B/Contents/MacOS/TavroVPN
    return exe.parent_path().parent_path().parent_path().string();
}

bool fileExists(const std::string& path) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0;
}

} // namespace platform
