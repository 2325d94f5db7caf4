#pragma once
// Points the XDG folders at a test's scratch home: data and cache below home, config one folder
// per process beside the first home, because the preference store reads its path only once. That
// config folder outlives every test's home, so it goes when the process ends. An XDG_CONFIG_HOME
// from the caller's environment is replaced: the fixtures delete the preference file they find.
#include <cstdlib>
#include <filesystem>
#include <string>

namespace testsupport {

inline void pointXdgAt(const std::string& home) {
    struct ProcessConfig {
        std::string path;
        explicit ProcessConfig(std::string p) : path(std::move(p)) {
            setenv("XDG_CONFIG_HOME", path.c_str(), 1);
        }
        // Destroyed after the preference store, which was first used after this was made.
        ~ProcessConfig() {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    };
    static const ProcessConfig config(home + "-config");
    setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
    setenv("XDG_CACHE_HOME", (home + "/cache").c_str(), 1);
}

} // namespace testsupport
