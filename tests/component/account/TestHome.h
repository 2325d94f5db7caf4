#pragma once
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

// A private home for one test process: the XDG folders point into a temporary folder before anything
// (the preference store in particular) reads them, and the folder goes away at exit.
class TestHome {
public:
    TestHome() {
        char tmpl[] = "/tmp/tavro-account-home.XXXXXX";
        if (::mkdtemp(tmpl)) dir_ = tmpl;
        ::setenv("XDG_CONFIG_HOME", (dir_ + "/config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (dir_ + "/data").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (dir_ + "/cache").c_str(), 1);
    }
    ~TestHome() {
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
};
