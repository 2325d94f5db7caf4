#pragma once
#include <string>
#include <vector>

// openvpn runs as root with the configuration the application downloaded, so before it starts the
// helper reads that configuration the way openvpn does and accepts it only when every directive
// is on an allow-list of client options that neither run programs, load code, nor write or
// disclose files: no up/down/route-up/ipchange/tls-verify/... scripts, no plugin, script-security
// at most 1, no management* other than management-log-cache, no config/cd/chroot/daemon/log*/
// status/writepid/tmp-dir, no engine/providers. Lines are split and tokenised as openvpn does
// (comments, quotes, backslashes, a leading "--", inline <tag> blocks, <connection> blocks,
// "setenv opt"); anything openvpn might read differently (NUL bytes, over-long lines) is refused.
// A <connection> block may hold only what openvpn takes there. Only client operation is accepted:
// protocols that connect out, no mode/server*/tls-server/port-share. Files the configuration names
// (keys, certificates, proxy credentials) must lie inside the OpenVPN folder, or come inline;
// sealOvpnConfigText reads them for openvpn and puts them inline, in a <connection> block too, so
// that root opens no file of the user's folder on its own.
#include <functional>

namespace helper {

// Tokenises one configuration line as openvpn does; false for a line openvpn rejects.
bool tokenizeOvpnLine(const std::string& line, std::vector<std::string>& tokens);

// True when the text may be given to openvpn; otherwise reason says what was refused.
bool checkOvpnConfigText(const std::string& text, std::string& reason);

// Reads a file a directive names (a path relative to the OpenVPN folder): false, with reason, when
// it may not be read.
using OvpnFileReader =
    std::function<bool(const std::string& path, std::string& content, std::string& reason)>;

// The text openvpn is given: the checked configuration with every file a directive names read
// through readFile and put inline (key-direction carrying a tls-auth or secret direction), and verb
// lowered to the highest level that logs no keys (the log is the user's to read). Refused
// (false, with reason) when the text fails the check, a named file cannot be read or is not of a
// kind that can be put inline (a folder), or openvpn would bind a local port below 1024.
bool sealOvpnConfigText(const std::string& text, const OvpnFileReader& readFile, std::string& sealed,
                        std::string& reason);

} // namespace helper
