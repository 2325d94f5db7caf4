#include "app/shell/LoginItems.h"

#include "platform/Paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* kEntryName = "tavrovpn.desktop";
constexpr const char* kPackageProgram = "/usr/bin/tavrovpn";
constexpr const char* kBundleProgram = "/Contents/MacOS/TavroVPN";
// What the kernel appends to /proc/PID/exe once the program file was replaced or removed.
constexpr std::string_view kDeletedMark = " (deleted)";
// Bounds for a folder and files anyone may have written into.
constexpr size_t kMaxEntries = 4096;
constexpr size_t kMaxEntryBytes = 64 * 1024;

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// Escapes of the desktop-entry string type; an unknown escape is kept as written.
std::string unescapeString(std::string_view v) {
    std::string out;
    out.reserve(v.size());
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] != '\\' || i + 1 == v.size()) {
            out += v[i];
            continue;
        }
        const char c = v[++i];
        switch (c) {
        case 's':
            out += ' ';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case '\\':
            out += '\\';
            break;
        default:
            out += '\\';
            out += c;
        }
    }
    return out;
}

std::optional<std::string> readSmallFile(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return std::nullopt;
    std::string data;
    char buf[4096];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        data.append(buf, n);
        if (data.size() > kMaxEntryBytes) {
            std::fclose(f);
            return std::nullopt;
        }
    }
    std::fclose(f);
    return data;
}

struct EntryKeys {
    std::optional<std::string> exec;
    bool hidden = false;
};

// Exec and Hidden of the [Desktop Entry] group; other groups and localised keys are ignored.
EntryKeys readEntryKeys(const std::string& data) {
    EntryKeys keys;
    bool inMainGroup = false;
    size_t pos = 0;
    while (pos < data.size()) {
        size_t end = data.find('\n', pos);
        if (end == std::string::npos) end = data.size();
        const std::string_view line = trim(std::string_view(data).substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inMainGroup) continue;
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view key = trim(line.substr(0, eq));
        const std::string_view value = trim(line.substr(eq + 1));
        if (key == "Exec" && !keys.exec)
            keys.exec = unescapeString(value);
        else if (key == "Hidden")
            keys.hidden = value == "true";
    }
    return keys;
}

std::string withoutDeletedMark(std::string path) {
    if (endsWith(path, kDeletedMark)) path.resize(path.size() - kDeletedMark.size());
    return path;
}

bool sameProgram(const std::string& program, const std::string& executable) {
    if (program.empty() || executable.empty()) return false;
    if (program == executable) return true;
    std::error_code ec;
    return fs::equivalent(program, executable, ec) && !ec;
}

std::vector<std::string> entryFileNames(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) return names;
    for (size_t seen = 0; it != fs::directory_iterator() && seen < kMaxEntries; it.increment(ec), ++seen) {
        if (ec) break;
        const std::string name = it->path().filename().string();
        if (!endsWith(name, ".desktop") || name.front() == '.') continue;
        std::error_code typeEc;
        if (!fs::is_regular_file(it->path(), typeEc)) continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool writeFileAtomically(const std::string& dir, const std::string& name, const std::string& content) {
    std::string tmpl = dir + "/." + name + ".XXXXXX";
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, 0644) == 0;
    size_t done = 0;
    while (ok && done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<size_t>(n);
    }
    if (ok) ok = ::fsync(fd) == 0;
    if (::close(fd) != 0) ok = false;
    if (ok) ok = ::rename(tmpl.c_str(), (dir + "/" + name).c_str()) == 0;
    if (!ok) ::unlink(tmpl.c_str());
    return ok;
}

} // namespace

std::string desktopExecValueForProgram(const std::string& program) {
    // Quoting rule first (inside double quotes), then the string escapes, as readers undo them in
    // the opposite order; "%" is doubled so it is not taken for a field code.
    std::string quoted = "\"";
    for (char c : program) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';
        quoted += c;
    }
    quoted += '"';
    std::string out;
    for (char c : quoted) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::optional<std::string> programOfDesktopExec(const std::string& execValue) {
    size_t i = 0;
    while (i < execValue.size() && (execValue[i] == ' ' || execValue[i] == '\t'))
        ++i;
    if (i == execValue.size()) return std::nullopt;
    std::string arg;
    if (execValue[i] == '"') {
        ++i;
        bool closed = false;
        for (; i < execValue.size(); ++i) {
            const char c = execValue[i];
            if (c == '"') {
                closed = true;
                break;
            }
            if (c == '\\' && i + 1 < execValue.size()) {
                const char n = execValue[i + 1];
                if (n == '"' || n == '`' || n == '$' || n == '\\') {
                    arg += n;
                    ++i;
                    continue;
                }
            }
            arg += c;
        }
        if (!closed) return std::nullopt;
    } else {
        for (; i < execValue.size() && execValue[i] != ' ' && execValue[i] != '\t' && execValue[i] != '\n';
             ++i)
            arg += execValue[i];
    }
    std::string program;
    for (size_t k = 0; k < arg.size(); ++k) {
        program += arg[k];
        if (arg[k] == '%' && k + 1 < arg.size() && arg[k + 1] == '%') ++k;
    }
    if (program.empty()) return std::nullopt;
    return program;
}

std::string autostartDirectory() {
    return platform::xdgConfigHome() + "/autostart";
}

std::string loginItemProgramFor(const std::string& bundle, const std::string& packageProgram) {
    if (bundle.empty()) return {};
    const std::string program = bundle + kBundleProgram;
    if (!packageProgram.empty() && sameProgram(packageProgram, program)) return packageProgram;
    return program;
}

std::string loginItemProgram() {
    return loginItemProgramFor(platform::bundlePath(), kPackageProgram);
}

bool enableLoginItemIn(const std::string& autostartDir, const std::string& program) {
    if (program.empty()) return false;
    std::error_code ec;
    fs::create_directories(autostartDir, ec);
    if (ec) return false;
    const std::string content = "[Desktop Entry]\n"
                                "Type=Application\n"
                                "Name=TavroVPN\n"
                                "Comment=TavroVPN\n"
                                "Exec=" +
                                desktopExecValueForProgram(program) +
                                "\n"
                                "Terminal=false\n"
                                "X-GNOME-Autostart-enabled=true\n";
    return writeFileAtomically(autostartDir, kEntryName, content);
}

LoginItemReferences itemReferencesInLoginItemsIn(const std::string& autostartDir,
                                                 const std::vector<std::string>& programs) {
    LoginItemReferences refs;
    const std::vector<std::string> names = entryFileNames(autostartDir);
    if (names.empty()) return refs;
    refs.lastReference = LoginItemReference{autostartDir + "/" + names.back()};
    for (const std::string& name : names) {
        const std::string path = autostartDir + "/" + name;
        const auto data = readSmallFile(path);
        if (!data) continue;
        const EntryKeys keys = readEntryKeys(*data);
        if (keys.hidden) continue;
        bool ours = name == kEntryName;
        if (!ours && keys.exec) {
            if (const auto program = programOfDesktopExec(*keys.exec)) {
                const std::string started = withoutDeletedMark(*program);
                ours = std::any_of(programs.begin(), programs.end(),
                                   [&](const std::string& p) { return sameProgram(started, p); });
            }
        }
        if (ours) {
            refs.existingReference = LoginItemReference{path};
            break;
        }
    }
    return refs;
}

bool removeLoginItemIn(const std::string& autostartDir, const LoginItemReference& item) {
    const fs::path p(item.path);
    const std::string name = p.filename().string();
    // Only a direct entry of the folder: never a path that leads elsewhere.
    if (p.parent_path().lexically_normal() != fs::path(autostartDir).lexically_normal()) return false;
    if (!endsWith(name, ".desktop") || name == ".." || name == ".") return false;
    return ::unlink(item.path.c_str()) == 0;
}

void enableLoginItem() {
    (void)enableLoginItemIn(autostartDirectory(), loginItemProgram());
}

LoginItemReferences itemReferencesInLoginItems() {
    const std::string bundle = platform::bundlePath();
    return itemReferencesInLoginItemsIn(
        autostartDirectory(), {loginItemProgram(), bundle.empty() ? bundle : bundle + kBundleProgram,
                               withoutDeletedMark(platform::executablePath())});
}

bool removeLoginItem(const LoginItemReference& item) {
    return removeLoginItemIn(autostartDirectory(), item);
}
