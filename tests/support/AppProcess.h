#pragma once
// The application itself as a separate process: the bundle's TavroVPN program, offscreen, with its
// home (XDG folders, runtime folder included) in a scratch folder and its output captured to a file. Preferences are seeded
// before the launch, so that a saved account with "ConnectStartAuto" connects on its own.
#include "ProcessUtil.h"
#include "platform/Defaults.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace testsupport {

class AppProcess {
public:
    explicit AppProcess(std::filesystem::path home) : home_(std::move(home)) {
        std::filesystem::create_directories(home_ / "config/norvell/tavrovpn");
    }
    AppProcess(const AppProcess&) = delete;
    AppProcess& operator=(const AppProcess&) = delete;
    ~AppProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitExit(std::chrono::seconds(5));
        }
    }

    static std::filesystem::path program() {
        const char* b = std::getenv("TAVROVPN_BINARY_DIR");
        return std::filesystem::path(b ? b : ".") / "TavroVPN.app/Contents/MacOS/TavroVPN";
    }

    // The application's preference store (write before start()).
    platform::Defaults preferences() const {
        return platform::Defaults((home_ / "config/norvell/tavrovpn/defaults.json").string());
    }
    // A saved account that logs in and connects with `protcol` at launch.
    void seedAutoConnect(const std::string& user, const std::string& password, const std::string& protcol) const {
        platform::Defaults d = preferences();
        d.setString("username", user);
        d.setString("password", password);
        d.setInteger("SaveAccount", 1);
        d.setInteger("ConnectStartAuto", 1);
        d.setInteger("ProtcolSelAuto", 0);
        d.setString("ProtcolChoice", protcol);
        d.setString("Region", "日本");
        d.setString("regionNumber", "0");
    }
    std::filesystem::path workingFolder() const { return home_ / "data/norvell/tavrovpn"; }

    // Starts the program with this process's environment plus `env` and the scratch home.
    bool start(const std::map<std::string, std::string>& env = {}) {
        std::map<std::string, std::string> all = env;
        all["HOME"] = home_.string();
        all["XDG_CONFIG_HOME"] = (home_ / "config").string();
        all["XDG_DATA_HOME"] = (home_ / "data").string();
        all["XDG_CACHE_HOME"] = (home_ / "cache").string();
        // Its single-instance socket too: applications of tests running side by side stay apart.
        std::filesystem::create_directories(home_ / "runtime");
        std::filesystem::permissions(home_ / "runtime", std::filesystem::perms::owner_all);
        all["XDG_RUNTIME_DIR"] = (home_ / "runtime").string();
        all.emplace("QT_QPA_PLATFORM", "offscreen");
        const std::string log = (home_ / "app.log").string();
        pid_ = ::fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            for (const auto& [k, v] : all)
                ::setenv(k.c_str(), v.c_str(), 1);
            const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd >= 0) {
                ::dup2(fd, 1);
                ::dup2(fd, 2);
            }
            // Default dispositions and an empty mask, whatever the test process uses.
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            for (int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE})
                ::signal(s, SIG_DFL);
            const std::string exe = program().string();
            ::execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        return true;
    }

    pid_t pid() const { return pid_; }
    bool signal(int signo) const { return pid_ > 0 && ::kill(pid_, signo) == 0; }

    // The exit status (or 128 + signal) once the program has ended, nullopt while it still runs.
    std::optional<int> waitExit(std::chrono::milliseconds limit) {
        if (pid_ <= 0) return status_;
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            int st = 0;
            const pid_t r = ::waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                return status_;
            }
            if (std::chrono::steady_clock::now() >= end) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    std::string output() const { return readFile(home_ / "app.log"); }
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit) const {
        return waitFor([&] { return output().find(text) != std::string::npos; }, limit);
    }

private:
    std::filesystem::path home_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

} // namespace testsupport
