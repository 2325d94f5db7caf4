#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>

// What a helper instance has running, written where only root can reach it, so that the tunnel
// can still be ended when the instance itself is gone (killed, crashed): the next instance, the
// supervisor or the service manager then stops the tunnel program and restores the resolver.
// One file per helper instance: <state>/tunnels/<helper pid>, <state> being set-dns.sh's state
// folder ($TAVROVPN_DNS_STATE_DIR, else /run/tavrovpn). Processes are named by pid and start time,
// so a pid reused since is never taken for ours.
namespace helper {

struct TunnelRecord {
    pid_t helper = 0;
    uint64_t helperStart = 0;
    pid_t program = 0; // openvpn or openconnect
    uint64_t programStart = 0;
    bool openConnect = false;
    bool dnsSwitched = false;
    uid_t owner = kNoOwner; // the user whose request started it
    static constexpr uid_t kNoOwner = static_cast<uid_t>(-1);
};

std::string tunnelRecordDir();
// Start time of a process (clock ticks since boot, /proc/PID/stat field 22); 0 when it is gone.
uint64_t processStartTime(pid_t pid);
// True while the process named by pid and start time still runs (a zombie does not).
bool sameProcessAlive(pid_t pid, uint64_t start);

bool writeTunnelRecord(const TunnelRecord& record);
void removeTunnelRecord(pid_t helper);
// The record of a helper instance; false when it has none.
bool readTunnelRecord(pid_t helper, TunnelRecord& record);
// The user of a tunnel that a live helper instance other than this one runs for a user other than
// uid; kNoOwner when there is none.
uid_t liveTunnelOfAnotherUser(uid_t uid);

// Ends the tunnels of helper instances that are gone: the program is stopped (SIGTERM, on which
// openconnect logs off and runs its disconnect step, then SIGKILL), the resolver is
// restored through set-dns.sh when the record says it was switched or the tunnel was openconnect's,
// and the record is removed. Returns how many tunnels were ended.
int cleanUpVanishedTunnels();

// set-dns.sh localhost: the resolver in force before the switch comes back from set-dns.sh's own
// record (a resolver someone else has rewritten since is kept). True when set-dns.sh succeeded.
bool restoreResolver();

// set-dns.sh makes /etc/resolv.conf a link to a file of its own in /run while switched. After a
// reboot (or anything else that emptied /run) that link dangles, and a network manager leaves a
// link alone: the machine would have no resolver. Such a link becomes an empty plain file, which
// the network manager writes again. True when it did.
bool repairDanglingResolverLink();

// The host route to the VPN server that openconnect's routing script added (it notes the server in
// <state>/openconnect.gateway) and could not take away, because openconnect ended without its
// disconnect step: removed, with the note.
void removeOpenConnectGatewayRoute();

// Waits, at most `limit`, until no process of the process group `pgid` that started at or after
// `since` is alive; with killRest, those still alive then are killed, until none is left.
// openconnect leads a group of its own: a routing script that a killed openconnect left mid-step
// thus finishes (or is ended) before the resolver and the routes are put back.
void settleProcessGroup(pid_t pgid, uint64_t since, std::chrono::milliseconds limit, bool killRest);

// Stops a process by pid and start time: `first` (SIGHUP or SIGTERM), then SIGTERM and SIGKILL,
// each after a grace period.
void stopProcess(pid_t pid, uint64_t start, int first);

} // namespace helper
