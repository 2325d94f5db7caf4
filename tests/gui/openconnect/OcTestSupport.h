#pragma once
// Shared pieces of the OpenConnect manager tests: a process-wide scratch home (set before the
// preference store is first used), a stand-in helper on a Unix socket, and bounded waits that
// keep the GUI thread's queue running.
#include "FakeHelper.h"
#include <QCoreApplication>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>

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

// The OpenConnect manager holds one helper connection at a time; served the same way here.
class FakeHelper : public ::FakeHelper {
public:
    explicit FakeHelper(std::string path) : ::FakeHelper(std::move(path), Serve::OneAtATime) {}
};

} // namespace octest
