#pragma once
// Shared pieces of the OpenConnect manager tests: a process-wide scratch home (set before the
// preference store is first used), a stand-in helper on a Unix socket, and bounded waits that
// keep the GUI thread's queue running.
#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace octest {

// One scratch home per process: the preference store reads its path once. Removed at exit.
inline const std::string& scratchHome() {
    struct Home {
        std::string path;
        Home() {
            char tmpl[] = "/tmp/tv-oc-test-XXXXXX";
            const char* made = ::mkdtemp(tmpl);
            path = made ? made : "/tmp/tv-oc-test";
            for (const char* sub : {"data", "config", "cache"})
                std::filesystem::create_directories(path + "/" + sub);
            ::setenv("XDG_DATA_HOME", (path + "/data").c_str(), 1);
            ::setenv("XDG_CONFIG_HOME", (path + "/config").c_str(), 1);
            ::setenv("XDG_CACHE_HOME", (path + "/cache").c_str(), 1);
        }
        ~Home() {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    };
    static const Home home;
    return home.path;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& text, bool append = false) {
    std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    out << text;
}

// Runs the GUI thread's queue until pred holds or the limit passes.
inline bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents();
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    QCoreApplication::processEvents();
    return pred();
}

inline void pump(std::chrono::milliseconds d) {
    waitFor([] { return false; }, d);
}

// Stand-in for tvapphelper: replies "1" to the first message of a connection, then records every
// later message until the client closes. Serves connections one after another.
class FakeHelper {
public:
    struct Connection {
        std::string first;
        std::vector<std::string> later;
        bool closed = false;
    };

    explicit FakeHelper(std::string path) : path_(std::move(path)) {
        ::unlink(path_.c_str());
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path_.copy(a.sun_path, sizeof a.sun_path - 1);
        ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_, 4) == 0;
        thread_ = std::thread([this] { run(); });
    }
    FakeHelper(const FakeHelper&) = delete;
    FakeHelper& operator=(const FakeHelper&) = delete;
    ~FakeHelper() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    bool ok() const { return ok_; }
    std::vector<Connection> connections() const {
        std::lock_guard l(mu_);
        return conns_;
    }

private:
    void run() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(3);
        int conn = -1;
        while (!stop_ && std::chrono::steady_clock::now() < end) {
            pollfd p{conn >= 0 ? conn : fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            if (conn < 0) {
                conn = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (conn >= 0) {
                    std::lock_guard l(mu_);
                    conns_.push_back({});
                }
                continue;
            }
            char buf[513];
            const ssize_t n = ::recv(conn, buf, 512, 0);
            std::lock_guard l(mu_);
            Connection& c = conns_.back();
            if (n <= 0) {
                c.closed = true;
                ::close(conn);
                conn = -1;
            } else if (c.first.empty()) {
                c.first.assign(buf, static_cast<size_t>(n));
                (void)::send(conn, "1", 1, MSG_NOSIGNAL);
            } else {
                c.later.emplace_back(buf, static_cast<size_t>(n));
            }
        }
        if (conn >= 0) ::close(conn);
    }

    std::string path_;
    int fd_ = -1;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    mutable std::mutex mu_;
    std::vector<Connection> conns_;
    std::thread thread_;
};

} // namespace octest
