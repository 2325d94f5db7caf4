#pragma once
#include "helper/UniqueFd.h"
#include "helper/UserRights.h"
#include "platform/Task.h"

#include <cstdint>
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
    // owner: the user whose request started the tunnel; its working folder is touched with its rights.
    TunnelChannel(TunnelKind kind, std::string rootPath, Credentials owner);

    TunnelKind kind() const { return kind_; }
    const std::string& rootPath() const { return root_; }
    uid_t owner() const { return owner_.uid; }
    bool dnsSwitched() const { return dnsSwitched_; }

    // The tunnel program this channel started (openvpn or openconnect): the stop line signals only
    // this process, and a record of it lets it be ended even if this helper instance vanishes.
    void setProgram(platform::Task* task);
    // A read-only descriptor of openvpn's log, where the helper finds the tunnel's transport.
    void setProgramLog(UniqueFd log) { programLog_ = std::move(log); }
    bool programRunning() const { return program_ && program_->isRunning(); }

    // Runs one received line. False when it is not a line this channel runs: nothing was done and
    // the channel is to end.
    bool runLine(std::string_view line);

    // The channel is over, whether the application stopped the tunnel or vanished: an openconnect
    // still running is stopped (openvpn is its caller's to stop, first), a resolver still switched
    // comes back, and the record goes.
    void end();

private:
    void saveResolver();
    bool runSetDns(const std::vector<std::string>& arguments); // true when set-dns.sh succeeded
    void stopOpenConnect();
    void reconnectOpenConnect();
    void updateRecord();
    void blockLeaks();

    TunnelKind kind_;
    std::string root_;
    Credentials owner_;
    bool dnsSwitched_ = false;
    bool stopAsked_ = false;
    platform::Task* program_ = nullptr;
    uint64_t programStart_ = 0;
    UniqueFd programLog_;
    bool leakBlockTried_ = false;
    std::string blockedTunnel_;
};

} // namespace helper
