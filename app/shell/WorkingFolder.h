#pragma once
#include <string>
#include <system_error>

// The working folder (tvrootPath) holds the OpenConnect password file and the tunnels' logs: it is
// the user's alone.

// Creates root with its missing parents; root itself is made 0700, whatever the umask allows.
void createWorkingFolder(const std::string& root, std::error_code& ec);
// Closes an existing folder of this user's to everyone else (earlier versions made it 0755).
// Anything that is not a folder owned by this user is left as it is.
void tightenWorkingFolder(const std::string& root);
// Removes the OpenConnect password file; true when none is left.
bool removeOpenConnectPassword(const std::string& root);
