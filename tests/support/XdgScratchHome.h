#pragma once
// Points the XDG folders at a test's scratch home: data and cache below home, config one folder
// per process beside the first home, because the preference store reads its path only once.
#include <cstdlib>
#include <string>

namespace testsupport {

inline void pointXdgAt(const std::string& home) {
    static const std::string config = home + "-config";
    setenv("XDG_CONFIG_HOME", config.c_str(), 0);
    setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
    setenv("XDG_CACHE_HOME", (home + "/cache").c_str(), 1);
}

} // namespace testsupport
