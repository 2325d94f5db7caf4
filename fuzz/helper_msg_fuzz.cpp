// The helper's message handling without side effects: the receive buffer as the server fills it,
// the close test, field splitting, command and sub-command dispatch, the checked fields of each
// request and the masked log copy. Inputs starting with 0xFF go to the config.ovpn filter and the
// sealing of its named files instead, inputs starting with 0xFE to the tunnel line table.
#include "helper/HelperMessage.h"
#include "helper/OvpnConfigFilter.h"
#include "helper/TunnelCommand.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

bool hasControl(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

// Every field the table lets through has the application's shape: nothing that could be read as
// an option, no control character, the URL and the pin of their one form.
void checkAccepted(const std::vector<std::string>& fields) {
    if (helper::subCommandOf(fields) == helper::SubCommand::GetVer) return; // it uses no field
    for (size_t i = 1; i < fields.size(); ++i)
        if (hasControl(fields[i])) __builtin_trap();
    if (helper::commandOf(fields) == helper::Command::OpenConnectStart) {
        const std::string& user = fields[2];
        const std::string& url = fields[3];
        const std::string& pin = fields[4];
        if (user[0] == '-' || user.find(' ') != std::string::npos) __builtin_trap();
        if (url.rfind("https://", 0) != 0 || url.size() < 14 ||
            url.compare(url.size() - 5, 5, ":443/") != 0 || url[8] == '-')
            __builtin_trap();
        if (pin.size() != 44 || pin[0] == '-') __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0 && data[0] == 0xFF) {
        const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
        std::string reason, sealed;
        const bool checked = helper::checkOvpnConfigText(text, reason);
        // Every named file reads as the same hostile text: whatever is sealed still passes the check.
        const auto reader = [&text](const std::string&, std::string& content, std::string&) {
            content = text.substr(0, 300);
            return true;
        };
        if (helper::sealOvpnConfigText(text, reader, sealed, reason)) {
            if (!checked || !helper::checkOvpnConfigText(sealed, reason)) __builtin_trap();
        }
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
    std::string refusal;
    const bool accepted = helper::commandOf(fields) != helper::Command::Unknown
                              ? helper::checkCommandFields(fields, refusal)
                              : helper::checkSubCommandFields(fields, refusal);
    // Unknown words pass the table (nothing is done for them).
    const bool known = helper::commandOf(fields) != helper::Command::Unknown ||
                       helper::subCommandOf(fields) != helper::SubCommand::Unknown;
    if (accepted && known) checkAccepted(fields);
    // A refusal is one log line, whatever the value held.
    if (hasControl(refusal)) __builtin_trap();
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
