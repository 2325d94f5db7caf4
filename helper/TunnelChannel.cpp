#include "helper/TunnelChannel.h"

#include "helper/HelperLog.h"
#include "helper/LeakBlock.h"
#include "helper/ProgramCopies.h"
#include "helper/TunnelCommand.h"
#include "helper/TunnelRecord.h"
#include "helper/WorkingFolder.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace helper {
namespace {

using namespace std::chrono_literals;

constexpr auto kSetDnsWait = 30s;
constexpr auto kKillWait = 5s;
constexpr size_t kMaxResolverBytes = 1 << 20;
constexpr const char* kResolvConf = "/etc/resolv.conf";

bool allowedOn(TunnelKind kind, TunnelLineKind line) {
    switch (line) {
    case TunnelLineKind::SaveResolver:
    case TunnelLineKind::SwitchDns:
    case TunnelLineKind::RestoreDns:
        return kind == TunnelKind::OpenVpn;
    case TunnelLineKind::StopOpenConnect:
    case TunnelLineKind::ReconnectOpenConnect:
        return kind == TunnelKind::OpenConnect;
    case TunnelLineKind::Foreign:
        break;
    }
    return false;
}

} // namespace

TunnelChannel::TunnelChannel(TunnelKind kind, std::string rootPath, Credentials owner)
    : kind_(kind), root_(std::move(rootPath)), owner_(std::move(owner)) {}

bool TunnelChannel::runLine(std::string_view line) {
    const TunnelLine parsed = parseTunnelLine(line, root_);
    if (!allowedOn(kind_, parsed.kind)) {
        hlog("server: command refused, channel closed: %s", escapedForLog(line).c_str());
        return false;
    }
    hlog("command received... system call.");
    switch (parsed.kind) {
    case TunnelLineKind::SaveResolver:
        saveResolver();
        break;
    case TunnelLineKind::SwitchDns:
        // The first connected report: from now on only the tunnel carries traffic.
        blockLeaks();
        if (parsed.addresses.empty()) {
            hlog("set-dns.sh openvpn without an address: resolver left as it is");
            break;
        }
        // Recorded before the switch: a helper that vanishes half-way still has it undone.
        dnsSwitched_ = true;
        updateRecord();
        runSetDns({"openvpn", parsed.addresses.front()});
        break;
    case TunnelLineKind::RestoreDns: {
        std::vector<std::string> args{"localhost"};
        args.insert(args.end(), parsed.addresses.begin(), parsed.addresses.end());
        if (runSetDns(args)) {
            dnsSwitched_ = false;
            updateRecord();
        }
        break;
    }
    case TunnelLineKind::StopOpenConnect:
        stopOpenConnect();
        break;
    case TunnelLineKind::ReconnectOpenConnect:
        reconnectOpenConnect();
        break;
    case TunnelLineKind::Foreign:
        break;
    }
    return true;
}

// cp /etc/resolv.conf "R/OpenVPN/": the machine's resolver into R/OpenVPN/resolv.conf, a fresh file
// the user's rights create in place of whatever the name held.
void TunnelChannel::saveResolver() {
    UniqueFd source(::open(kResolvConf, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    std::string text;
    if (!source.valid() || ::fstat(source.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        !readAll(source.get(), kMaxResolverBytes, text)) {
        hlog("resolv.conf copy: %s cannot be read", kResolvConf);
        return;
    }
    WorkingFolder folder;
    std::string reason;
    if (!folder.open(root_, "OpenVPN", owner_, reason)) {
        hlog("resolv.conf copy refused: OpenVPN folder %s", reason.c_str());
        return;
    }
    UniqueFd target = folder.createFresh("resolv.conf", 0644, reason);
    if (!target.valid()) {
        hlog("resolv.conf copy refused: OpenVPN/resolv.conf is %s", reason.c_str());
        return;
    }
    if (!writeAll(target.get(), text)) hlog("resolv.conf copy: write error: %s", std::strerror(errno));
}

bool TunnelChannel::runSetDns(const std::vector<std::string>& arguments) {
    const std::string script = rootOnlyCopy(kSetDnsCopy);
    if (script.empty()) return false;
    platform::Task task;
    task.launchPath = script;
    task.arguments = arguments;
    task.currentDirectory = "/";
    if (!task.launch()) {
        hlog("set-dns.sh could not be started: %s", std::strerror(errno));
        return false;
    }
    if (!task.waitUntilExit(kSetDnsWait)) {
        hlog("set-dns.sh did not finish, killed.");
        task.kill();
        task.waitUntilExit(kKillWait);
        return false;
    }
    return task.terminationStatus() == 0;
}

// kill -HUP $(cat "R/openconnect/childpid"): the openconnect this channel started, and only it;
// whatever number the file holds now is the user's to write. It is ended with SIGTERM, on which it
// logs off: a hang-up would keep the session on the server for a reconnect that never comes, and
// count against the account's session limit.
void TunnelChannel::stopOpenConnect() {
    stopAsked_ = true;
    if (!programRunning()) {
        hlog("kill -HUP: the openconnect of this channel is not running");
        return;
    }
    ::kill(program_->processIdentifier(), SIGTERM);
}

// kill -USR2: openconnect drops its connection to the server and makes a new one at once, over
// whatever uplink the machine has now; its tunnel device, routes and this channel's block stay.
void TunnelChannel::reconnectOpenConnect() {
    if (stopAsked_ || !programRunning()) {
        hlog("kill -USR2: the openconnect of this channel is not running");
        return;
    }
    hlog("openconnect asked to reconnect");
    ::kill(program_->processIdentifier(), SIGUSR2);
}

void TunnelChannel::blockLeaks() {
    if (!programRunning()) return;
    LeakBlockPlan plan;
    plan.tunnel = tunnelInterfaceOf(program_->processIdentifier());
    // Connected again after a reconnect in place: the block stands unless the tunnel's device is
    // another one now.
    if (leakBlockTried_ && plan.tunnel == blockedTunnel_) return;
    leakBlockTried_ = true;
    blockedTunnel_ = plan.tunnel;
    std::string log, server;
    LeakTransport transport;
    constexpr size_t kMaxLog = 4 << 20;
    if (programLog_.valid()) {
        char buf[65536];
        for (off_t at = 0; log.size() < kMaxLog;) {
            const ssize_t n = ::pread(programLog_.get(), buf, sizeof buf, at);
            if (n <= 0) break;
            log.append(buf, static_cast<size_t>(n));
            at += n;
        }
    }
    if (openVpnTransportFromLog(log, server, transport)) {
        plan.servers = {server};
        plan.transports = {transport};
    }
    plan.localSubnets = localSubnets(plan.tunnel);
    LeakOwner owner = leakOwnerOfThisHelper(owner_.uid);
    owner.interface = plan.tunnel;
    applyLeakBlock(plan, owner);
}

void TunnelChannel::setProgram(platform::Task* task) {
    program_ = task;
    programStart_ = task ? processStartTime(task->processIdentifier()) : 0;
    updateRecord();
}

void TunnelChannel::updateRecord() {
    if (!program_) return;
    TunnelRecord r;
    r.helper = ::getpid();
    r.helperStart = processStartTime(r.helper);
    r.program = program_->processIdentifier();
    r.programStart = programStart_;
    r.openConnect = kind_ == TunnelKind::OpenConnect;
    r.dnsSwitched = dnsSwitched_;
    r.owner = owner_.uid;
    writeTunnelRecord(r);
}

void TunnelChannel::end() {
    if (kind_ == TunnelKind::OpenConnect && programRunning()) {
        // After its stop line openconnect is already logging off. Without one the application is
        // gone and nobody else would ever stop it: it logs off the server all the same.
        if (!stopAsked_) hlog("tunnel channel ended without its stop: openconnect stopped.");
        stopProcess(program_->processIdentifier(), programStart_, SIGTERM);
        program_->waitUntilExit(std::chrono::seconds(1));
    }
    // Its routing script may still be in a step (a connect finishing after openconnect was killed):
    // let it end before the resolver and the route are put back.
    if (kind_ == TunnelKind::OpenConnect && program_)
        settleProcessGroup(program_->processIdentifier(), programStart_, std::chrono::seconds(10), true);
    // The tunnel is over: its leak block (applied here, or by openconnect's routing script for
    // this instance) goes with it.
    removeLeakBlock(leakOwnerOfThisHelper());
    if (dnsSwitched_) hlog("tunnel channel ended with the resolver switched: restoring it.");
    // openconnect's routing script switches the resolver, and back in its disconnect step, which an
    // openconnect killed or stopped early may never have run. set-dns.sh leaves a resolver that is
    // not its own alone, so asking it costs nothing.
    if ((dnsSwitched_ || kind_ == TunnelKind::OpenConnect) && restoreResolver()) dnsSwitched_ = false;
    if (kind_ == TunnelKind::OpenConnect) removeOpenConnectGatewayRoute();
    removeTunnelRecord(::getpid());
}

} // namespace helper
