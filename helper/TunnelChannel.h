#pragma once
#include "platform/Task.h"

#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// One tunnel channel: the connection that stays open after a start command. It knows which tunnel
// it started, for whom and from which root path, and whether it switched the resolver, so that
// the end of the channel can be handled from that record. Lines received on it are run only when
// they are one of the tunnel lines of its kind (TunnelCommand.h), as the helper's own operations.
namespace helper {

enum class TunnelKind { OpenVpn, OpenConnect };

class TunnelChannel {
public:
    TunnelChannel(TunnelKind kind, std::string rootPath, uid_t owner);

    TunnelKind kind() const { return kind_; }
    const std::string& rootPath() const { return root_; }
    uid_t owner() const { return owner_; }
    bool dnsSwitched() const { return dnsSwitched_; }

    // The openconnect this channel started; the stop line signals only this process.
    void setOpenConnect(platform::Task* task) { openconnect_ = task; }

    // Runs one received line. False when it is not a line this channel runs: nothing was done and
    // the channel is to end.
    bool runLine(std::string_view line);

private:
    void saveResolver();
    bool runSetDns(const std::vector<std::string>& arguments); // true when set-dns.sh succeeded
    void stopOpenConnect();

    TunnelKind kind_;
    std::string root_;
    uid_t owner_;
    bool dnsSwitched_ = false;
    platform::Task* openconnect_ = nullptr;
};

} // namespace helper
