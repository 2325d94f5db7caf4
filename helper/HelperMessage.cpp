#include "helper/HelperMessage.h"

#include "helper/HelperLog.h"
#include "platform/Log.h"

#include <cstring>

namespace helper {

std::vector<std::string> splitFields(const char* text, size_t maxFields) {
    return protocol::splitFields(text ? std::string_view(text) : std::string_view(), maxFields);
}

bool isCloseRequest(const char* text) {
    return text && std::strncmp(text, "close", 5) == 0;
}

Command commandOf(const std::vector<std::string>& fields) {
    if (fields.empty()) return Command::Unknown;
    const std::string& w = fields[0];
    if (w == "CMD_OVPN_START") return Command::OvpnStart;
    if (w == "CMD_OPENCONNECT_START") return Command::OpenConnectStart;
    if (w == "CMD_SCNETWORK") return Command::ScNetwork;
    return Command::Unknown;
}

SubCommand subCommandOf(const std::vector<std::string>& fields) {
    if (fields.empty()) return SubCommand::Unknown;
    const std::string& w = fields[0];
    if (w == "REMOVE_PASSWD") return SubCommand::RemovePasswd;
    if (w == "GET_VER") return SubCommand::GetVer;
    if (w == "DELETE_KEY") return SubCommand::DeleteKey;
    if (w == "GET_PASSWD_SZ") return SubCommand::GetPasswdSz;
    if (w == "GET_USER_SZ") return SubCommand::GetUserSz;
    if (w == "SET_KEY") return SubCommand::SetKey;
    if (w == "REMOVE_PREF") return SubCommand::RemovePref;
    return SubCommand::Unknown;
}

namespace {

// False when the fields are not of the word's shape: refusal says what was wrong, for the log, and
// field names the field ("fields" when there are too few or too many). Unknown words pass.
bool checkAgainst(const protocol::MessageShape* (*shapeOf)(std::string_view),
                  const std::vector<std::string>& fields, std::string& refusal,
                  std::string* fieldOut = nullptr) {
    refusal.clear();
    if (fields.empty()) return true;
    const protocol::MessageShape* shape = shapeOf(fields[0]);
    if (!shape) return true;
    const int mismatch = protocol::mismatchOf(*shape, fields);
    if (mismatch == protocol::kMatches) return true;
    if (mismatch == protocol::kFieldCount) {
        if (fieldOut) *fieldOut = "fields";
        refusal = std::string(shape->word) + " refused: fields: " + std::to_string(fields.size() - 1) +
                  " given, " + std::to_string(shape->fields.size()) + " expected";
        return false;
    }
    const protocol::FieldRule& f = shape->fields[static_cast<size_t>(mismatch) - 1];
    if (fieldOut) *fieldOut = f.name;
    refusal =
        std::string(shape->word) + " refused: " + f.name + ": " +
        (f.secret ? std::string(platform::kMasked) : escapedForLog(fields[static_cast<size_t>(mismatch)]));
    return false;
}

} // namespace

bool checkCommandFields(const std::vector<std::string>& fields, std::string& refusal) {
    return checkAgainst(protocol::firstMessageShape, fields, refusal);
}

bool checkSubCommandFields(const std::vector<std::string>& fields, std::string& refusal) {
    return checkAgainst(protocol::subCommandShape, fields, refusal);
}

// A root path holding a "," arrives as more fields than the command has: refused, never guessed.
bool parseOvpnStart(const std::vector<std::string>& fields, std::string& rootPath) {
    std::string refusal;
    if (commandOf(fields) != Command::OvpnStart || !checkCommandFields(fields, refusal)) return false;
    rootPath = fields[1];
    return true;
}

bool parseOpenConnectStart(const std::vector<std::string>& fields, OpenConnectStart& out) {
    std::string refusal;
    if (commandOf(fields) != Command::OpenConnectStart || !checkCommandFields(fields, refusal)) return false;
    out.rootPath = fields[1];
    out.user = fields[2];
    out.url = fields[3];
    out.pin = fields[4];
    return true;
}

SetKeyParse parseSetKey(const std::vector<std::string>& f, SetKeyRequest& out, std::string& problem) {
    problem.clear();
    if (f.size() < 12) {
        problem = "missing fields";
        return SetKeyParse::MissingFields;
    }
    std::string refusal;
    if (subCommandOf(f) != SubCommand::SetKey) {
        problem = "not SET_KEY";
        return SetKeyParse::InvalidField;
    }
    if (!checkAgainst(protocol::subCommandShape, f, refusal, &problem)) return SetKeyParse::InvalidField;
    SetKeyRequest r;
    r.serviceId = f[1];
    r.appPath = f[2];
    r.serverAddr = f[3];
    r.accountName = f[4];
    r.password = f[5];
    r.isL2tpText = f[6];
    r.dnsPrim = f[7];
    r.dnsSecond = f[8];
    r.ccp40Text = f[9];
    r.ccp128Text = f[10];
    r.l2tpPassword = f[11];
    r.isL2tp = r.isL2tpText == "TRUE";
    protocol::parseDecimal(r.ccp40Text, r.ccp40);
    protocol::parseDecimal(r.ccp128Text, r.ccp128);
    out = std::move(r);
    return SetKeyParse::Ok;
}

std::string maskedForLog(const char* text) {
    if (!text) return std::string();
    auto fields = splitFields(text, 1);
    if (fields.empty() || fields[0] != "SET_KEY") return escapedForLog(text);
    std::string out;
    size_t index = 0; // 1-based number of the field being copied
    bool inField = false;
    for (const char* p = text; *p; ++p) {
        if (*p == ',') {
            inField = false;
            out += ',';
            continue;
        }
        if (!inField) {
            inField = true;
            ++index;
            if (index == 6 || index == 12) out += platform::kMasked;
        }
        if (index != 6 && index != 12) out += *p;
    }
    return escapedForLog(out);
}

} // namespace helper
