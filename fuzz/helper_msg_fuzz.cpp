// The helper's message handling without side effects: the receive buffer as the server fills it,
// the close test, field splitting, command and sub-command dispatch, the checked fields of each
// request and the masked log copy. Inputs starting with 0xFF go to the config.ovpn filter instead,
// inputs starting with 0xFE to the tunnel line table.
#include "helper/HelperMessage.h"
#include "helper/OvpnConfigFilter.h"
#include "helper/TunnelCommand.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0 && data[0] == 0xFF) {
        std::string reason;
        helper::checkOvpnConfigText(std::string(reinterpret_cast<const char*>(data + 1), size - 1), reason);
        return 0;
    }
    if (size > 0 && data[0] == 0xFE) {
        const std::string_view line(reinterpret_cast<const char*>(data + 1), size - 1);
        const helper::TunnelLine t = helper::parseTunnelLine(line, "/home/u/.local/share/norvell/tavrovpn");
        // Whatever is accepted carries only IP literals, and only the shapes' own counts of them.
        for (const auto& a : t.addresses)
            if (!helper::isIpLiteral(a)) __builtin_trap();
        if (t.kind == helper::TunnelLineKind::SwitchDns && t.addresses.size() > 1) __builtin_trap();
        if ((t.kind == helper::TunnelLineKind::SaveResolver ||
             t.kind == helper::TunnelLineKind::StopOpenConnect) &&
            !t.addresses.empty())
            __builtin_trap();
        return 0;
    }
    char buf[helper::kMessageBufferSize + 1] = {};
    std::memcpy(buf, data, size < helper::kMessageBufferSize ? size : helper::kMessageBufferSize);
    if (size >= helper::kMessageBufferSize || helper::isCloseRequest(buf)) return 0;

    std::string logCopy = helper::maskedForLog(buf);
    auto fields = helper::splitFields(buf);
    for (const auto& f : fields)
        if (f.empty() || f.find(',') != std::string::npos) __builtin_trap();
    switch (helper::commandOf(fields)) {
    case helper::Command::OvpnStart: {
        std::string root;
        if (helper::parseOvpnStart(fields, root) && root[0] != '/') __builtin_trap();
        break;
    }
    case helper::Command::OpenConnectStart: {
        helper::OpenConnectStart req;
        helper::parseOpenConnectStart(fields, req);
        break;
    }
    default:
        break;
    }
    if (helper::subCommandOf(fields) == helper::SubCommand::SetKey) {
        helper::SetKeyRequest r;
        std::string problem;
        helper::parseSetKey(fields, r, problem);
        // The password and the shared secret never reach the log copy.
        auto logged = helper::splitFields(logCopy.c_str());
        if (fields.size() >= 6 && logged[5] != "********") __builtin_trap();
        if (fields.size() >= 12 && logged[11] != "********") __builtin_trap();
    }
    return 0;
}
