#include "helper/CommandTable.h"

#include "helper/HelperLog.h"
#include "helper/HelperMessage.h"
#include "helper/LeakBlock.h"
#include "helper/NetworkPreferencesEntry.h"
#include "helper/PeerConnection.h"
#include "helper/SecKeyChainEntry.h"
#include "helper/SystemServiceProfile.h"
#include "helper/TunnelChannel.h"
#include "helper/TunnelRecord.h"
#include "helper/socketsrv.h"
#include "platform/Log.h"

#include <optional>
#include <sys/socket.h>

namespace helper {
namespace {

void ovpnStart(Request& r) {
    hlog("CMD_OVPN_START command start.");
    const int conn = r.connection.get();
    std::string root;
    if (!parseOvpnStart(r.fields, root)) return;
    cleanUpVanishedTunnels();
    removeStaleLeakBlock();
    UniqueFd log;
    std::unique_ptr<platform::Task> task = execOVPN(root, r.caller, &log);
    if (!task) {
        hlog("CMD_OVPN_START command failed.");
        reply(conn, "0");
        return;
    }
    hlog("CMD_OVPN_START command success");
    TunnelChannel channel(TunnelKind::OpenVpn, root, r.caller);
    channel.setProgram(task.get());
    channel.setProgramLog(std::move(log));
    reply(conn, "1");
    runTunnelChannel(conn, channel);
    hlog("task terminate.");
    stopTask(*task);
    channel.end();
    hlog("server: close accept socket");
    r.connection.reset();
}

void openConnectStart(Request& r) {
    hlog("CMD_OPENCONNECT_START command start.");
    const int conn = r.connection.get();
    OpenConnectStart req;
    if (!parseOpenConnectStart(r.fields, req)) return;
    hlog("bundlePath:%s", escapedForLog(req.rootPath).c_str());
    hlog("username:%s", escapedForLog(req.user).c_str());
    hlog("hostname:%s", escapedForLog(req.url).c_str());
    hlog("cert:%s", escapedForLog(req.pin).c_str());
    cleanUpVanishedTunnels();
    removeStaleLeakBlock();
    std::unique_ptr<platform::Task> task =
        execOPENCONNECT(req.rootPath, req.user, req.url, req.pin, r.caller);
    if (!task) {
        hlog("CMD_OPENCONNECT_START command failed.");
        reply(conn, "0");
        return;
    }
    hlog("CMD_OPENCONNECT_STARTCMD_OPENCONNECT_START command success");
    TunnelChannel channel(TunnelKind::OpenConnect, req.rootPath, r.caller);
    channel.setProgram(task.get());
    reply(conn, "1");
    runTunnelChannel(conn, channel);
    // openconnect does not outlive its channel: after the stop line it is on its way out anyway,
    // and a channel that ended without one belongs to an application that vanished.
    hlog("task terminate.");
    channel.end();
}

// One sub-command per connection. After it the connection is closed, so the next read of the
// loop fails; the log shows that as it always has.
void scNetwork(Request& r) {
    hlog("CMD_SCNETWORK command start.");
    reply(r.connection.get(), "1");
    Message m;
    for (int round = 0; round < 2; ++round) {
        hlog("command recv wait...");
        if (r.connection.valid()) receive(r.connection.get(), m, &kMessageWait);
        if (!r.connection.valid() || m.length < 0) {
            hlog("server: read error");
            return;
        }
        hlog("read data [%d]\n", static_cast<int>(m.length));
        if (isCloseRequest(m.text)) return;
        if (m.tooLong()) {
            hlog("server: message too long, ignored.\n");
            return;
        }
        hlog("buf:%s\n", maskedForLog(m.text).c_str());
        const std::vector<std::string> fields = splitFields(m.text);
        hlog("cmdUTF8;%s\n", fields.size() > 0 ? escapedForLog(fields[0]).c_str() : "");
        hlog("serviceIdUTF8;%s\n", fields.size() > 1 ? escapedForLog(fields[1]).c_str() : "");
        dispatchSubCommand(r.connection, fields, r.caller);
        hlog("server: close accept socket");
        r.connection.reset();
    }
}

// The profile follows a keychain change of its secrets, when they are the ones it carries: a
// blanked or deleted password no longer connects with the one NetworkManager was given before.
void followKeychainChange(const std::string& service, uid_t caller) {
    const std::string id = serviceIdOfKeychainService(service);
    if (provisionedUser(id) != caller) return;
    if (realiseService(id, caller) == RealiseResult::Failed)
        hlog("profile: secrets of %s not brought in step\n", id.c_str());
}

void removePasswdCommand(Request& r) {
    const std::string& service = r.fields[1];
    if (removePasswd(kServiceName, service.c_str(), r.caller.uid)) {
        hlog("SET_KEY command success\n");
        followKeychainChange(service, r.caller.uid);
        reply(r.connection.get(), "1");
    } else {
        hlog("removePasswd error\n");
        reply(r.connection.get(), "0");
    }
}

void getVer(Request& r) {
    reply(r.connection.get(), kVersionReply);
}

void deleteKey(Request& r) {
    const std::string& service = r.fields[1];
    hlog("DELETE_KEY start\n");
    if (removeKeyChainInfo(service.c_str(), r.caller.uid)) followKeychainChange(service, r.caller.uid);
    hlog("DELETE_KEY end\n");
    reply(r.connection.get(), "0");
}

// GET_PASSWD_SZ / GET_USER_SZ: the attribute's bytes, or nothing at all.
void keychainRead(Request& r, const char* attribute) {
    std::optional<KeychainItem> item = readKeyChaineInfo(r.fields[1].c_str(), r.caller.uid);
    if (!item) return;
    auto it = item->find(attribute);
    if (it == item->end()) return;
    // Longer than a client's 512-byte read: a cut value would be a wrong value, so none is sent.
    if (it->second.size() >= kMessageBufferSize) {
        hlog("keychain value too long, not sent\n");
        return;
    }
    ::send(r.connection.get(), it->second.data(), it->second.size(), MSG_NOSIGNAL);
}

void getPasswdSz(Request& r) {
    keychainRead(r, "v_Data");
}

void getUserSz(Request& r) {
    keychainRead(r, "acct");
}

void setKey(Request& req) {
    const int conn = req.connection.get();
    SetKeyRequest r;
    std::string problem;
    if (parseSetKey(req.fields, r, problem) != SetKeyParse::Ok) {
        hlog("SET_KEY refused: %s\n", problem.c_str());
        reply(conn, "0");
        return;
    }
    hlog("11111\n");
    hlog("222222\n");
    hlog("33333\n");
    hlog("strPPPCCPEnabled128:%s\n", escapedForLog(r.ccp128Text).c_str());
    hlog("appPath:%s\nserviceName:%s\nserviceId:%s\nserverAddr:%s\naccountName:%s\npassword:%s\n"
         "L2TPpassword:%s\nIsL2tp:%s\nDNSPrim:%s\nDNSSecond:%s\nPPPCCPEnabled40:%s\nPPPCCPEnabled128:%s",
         escapedForLog(r.appPath).c_str(), kServiceName, escapedForLog(r.serviceId).c_str(),
         escapedForLog(r.serverAddr).c_str(), escapedForLog(r.accountName).c_str(), platform::kMasked,
         platform::kMasked, escapedForLog(r.isL2tpText).c_str(), escapedForLog(r.dnsPrim).c_str(),
         escapedForLog(r.dnsSecond).c_str(), escapedForLog(r.ccp40Text).c_str(),
         escapedForLog(r.ccp128Text).c_str());

    hlog("writePreferences begin.\n");
    std::string serviceId;
    const bool ok = writePreferences(r.serverAddr.c_str(), r.accountName.c_str(), r.isL2tp, r.dnsPrim.c_str(),
                                     r.dnsSecond.c_str(), r.ccp40, r.ccp128, serviceId);
    hlog("writePreferences end.\n");
    if (!ok) {
        hlog("writePreferences error\n");
        reply(conn, "0");
        return;
    }
    hlog("writePreferences success\n");
    hlog("serviceIdUTF8 from Pref:%s\n", serviceId.c_str());
    if (!writeKeyChaineInfo(r.appPath.c_str(), kServiceName, serviceId.c_str(), r.accountName.c_str(),
                            r.password.c_str(), r.l2tpPassword.c_str(), r.isL2tp, req.caller.uid)) {
        hlog("writeKeyChaineInfo error\n");
        reply(conn, "0");
        return;
    }
    // A service NetworkManager does not hold cannot be started: that is no success. The profile
    // carries this caller's own secrets.
    if (realiseService(serviceId, req.caller.uid) != RealiseResult::Realised) {
        hlog("SET_KEY service not realised\n");
        reply(conn, "0");
        return;
    }
    hlog("SET_KEY command success\n");
    reply(conn, "1");
}

// Initialize's removal: the application does not wait for an answer, and none is sent.
void removePref(Request& r) {
    hlog("REMOVE_PREF start\n");
    removeServiceOf(r.fields[1], r.caller.uid);
    hlog("REMOVE_PREF end\n");
}

using protocol::firstMessageShape;
using protocol::subCommandShape;

// clang-format off
const std::vector<CommandRow> kFirstMessages = {
    {"CMD_OVPN_START",        firstMessageShape("CMD_OVPN_START"),        "0",     kOwnWorkingFolder | kTunnel, ovpnStart},
    {"CMD_OPENCONNECT_START", firstMessageShape("CMD_OPENCONNECT_START"), "0",     kOwnWorkingFolder | kTunnel, openConnectStart},
    {"CMD_SCNETWORK",         firstMessageShape("CMD_SCNETWORK"),         nullptr, kNoRecords,                  scNetwork},
};

const std::vector<CommandRow> kSubCommands = {
    {"REMOVE_PASSWD", subCommandShape("REMOVE_PASSWD"), "0",     kOwnItems | kProvisionedService, removePasswdCommand},
    {"GET_VER",       subCommandShape("GET_VER"),       nullptr, kNoRecords,                      getVer},
    {"DELETE_KEY",    subCommandShape("DELETE_KEY"),    "0",     kOwnItems | kProvisionedService, deleteKey},
    {"GET_PASSWD_SZ", subCommandShape("GET_PASSWD_SZ"), nullptr, kOwnItems | kProvisionedService, getPasswdSz},
    {"GET_USER_SZ",   subCommandShape("GET_USER_SZ"),   nullptr, kOwnItems | kProvisionedService, getUserSz},
    {"SET_KEY",       subCommandShape("SET_KEY"),       "0",     kOwnItems | kProvisionedService | kTunnel, setKey},
    {"REMOVE_PREF",   subCommandShape("REMOVE_PREF"),   nullptr, kOwnItems | kProvisionedService, removePref},
};
// clang-format on

// The service a request names: field 2, except for SET_KEY, which provisions the one service
// whatever its field 2 says.
std::optional<std::string> namedService(const CommandRow& row, const std::vector<std::string>& fields) {
    if (!(row.records & kProvisionedService) || std::string_view(row.word) == "SET_KEY") return std::nullopt;
    return serviceIdOfKeychainService(fields[1]);
}

// Whether the row may run for the caller with these fields; otherwise the refusal is logged.
bool recordsAllowed(const CommandRow& row, const std::vector<std::string>& fields,
                    const Credentials& caller) {
    if (const auto service = namedService(row, fields); service && !isProvisionedService(*service)) {
        hlog("%s refused: service %s was not provisioned by the helper\n", row.word,
             escapedForLog(*service).c_str());
        return false;
    }
    if ((row.records & kTunnel) && caller.uid != 0) {
        uid_t other = liveTunnelOfAnotherUser(caller.uid);
        if (other == TunnelRecord::kNoOwner) {
            const uid_t blocked = leakBlockUser();
            if (blocked != LeakOwner::kNoUser && blocked != caller.uid) other = blocked;
        }
        if (other != TunnelRecord::kNoOwner) {
            hlog("%s refused: a tunnel of uid %lu is up; nothing started.", row.word,
                 static_cast<unsigned long>(other));
            return false;
        }
    }
    return true;
}

void dispatch(const std::vector<CommandRow>& rows, UniqueFd& connection,
              const std::vector<std::string>& fields, const Credentials& caller) {
    if (fields.empty()) return;
    for (const CommandRow& row : rows) {
        if (fields[0] != row.word) continue;
        std::string refusal;
        const bool fieldsFit = &rows == &kFirstMessages ? checkCommandFields(fields, refusal)
                                                        : checkSubCommandFields(fields, refusal);
        if (!fieldsFit) hlog("%s%s", refusal.c_str(), row.records & kTunnel ? "; nothing started." : "\n");
        if (!fieldsFit || !recordsAllowed(row, fields, caller)) {
            if (row.failureReply) reply(connection.get(), row.failureReply);
            return;
        }
        Request request{connection, fields, caller};
        row.handler(request);
        return;
    }
}

} // namespace

void dispatchFirstMessage(UniqueFd& connection, const std::vector<std::string>& fields,
                          const Credentials& caller) {
    dispatch(kFirstMessages, connection, fields, caller);
}

void dispatchSubCommand(UniqueFd& connection, const std::vector<std::string>& fields,
                        const Credentials& caller) {
    dispatch(kSubCommands, connection, fields, caller);
}

const std::vector<CommandRow>& firstMessageRows() {
    return kFirstMessages;
}

const std::vector<CommandRow>& subCommandRows() {
    return kSubCommands;
}

} // namespace helper
