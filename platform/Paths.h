#pragma once
#include <string>

// XDG folders and the application's own places on disk.
namespace platform {

std::string homeDir();
std::string xdgDataHome();   // $XDG_DATA_HOME or ~/.local/share
std::string xdgCacheHome();  // $XDG_CACHE_HOME or ~/.cache
std::string xdgConfigHome(); // $XDG_CONFIG_HOME or ~/.config

// The application bundle directory B: resources live under B + "/Contents/Resources/".
// Found from the running executable (B/Contents/MacOS/<exe>); $TAVROVPN_BUNDLE overrides it.
std::string bundlePath();

// Path of the running executable, or empty when /proc/self/exe cannot be read.
std::string executablePath();

bool fileExists(const std::string& path);

} // namespace platform
