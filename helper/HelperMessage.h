#pragma once
#include "protocol/HelperProtocol.h"

#include <cstddef>
#include <string>
#include <vector>

// The helper's side of the message protocol without any I/O: the close test, command words, the
// checked fields of each request (the shapes both programs share, protocol/HelperProtocol.h) and
// the log copy of a message. Nothing here acts; the command table does.
namespace helper {

using protocol::isIpLiteral;
using protocol::isKeychainServiceShape;
using protocol::isServiceIdShape;
using protocol::isUsableRootPath;
using protocol::kMaxRootPathLength;
using protocol::kMessageBufferSize;
using protocol::kServiceName;
using protocol::kVersionReply;
using protocol::serviceIdOfKeychainService;

// strtok-like split at ',' of the received text (see protocol::splitFields).
std::vector<std::string> splitFields(const char* text, size_t maxFields = 64);

// The close request: the first five bytes are "close", anything may follow.
bool isCloseRequest(const char* text);

enum class Command { OvpnStart, OpenConnectStart, ScNetwork, Unknown };
Command commandOf(const std::vector<std::string>& fields);

enum class SubCommand {
    RemovePasswd,
    GetVer,
    DeleteKey,
    GetPasswdSz,
    GetUserSz,
    SetKey,
    RemovePref,
    Unknown
};
SubCommand subCommandOf(const std::vector<std::string>& fields);

// Every field of every command word is held to the shape the application gives it, in one table
// (protocol/HelperProtocol.cpp), before anything runs. A message whose word is known but whose fields are
// not exactly that (too few, too many, or one of another shape) is refused: refusal then holds the
// log text "<word> refused: <field name>: <value>" with the value escaped (secrets masked).
// Unknown words pass: nothing is done for them anyway.
bool checkCommandFields(const std::vector<std::string>& fields, std::string& refusal);
bool checkSubCommandFields(const std::vector<std::string>& fields, std::string& refusal);

// "CMD_OVPN_START,<root>": exactly these two fields, with a usable root path.
bool parseOvpnStart(const std::vector<std::string>& fields, std::string& rootPath);

struct OpenConnectStart {
    std::string rootPath, user, url, pin;
};
// "CMD_OPENCONNECT_START,<root>,<user>,https://<host>:443/,<pin>": exactly these five fields, each
// of the application's shape (checkCommandFields).
bool parseOpenConnectStart(const std::vector<std::string>& fields, OpenConnectStart& out);

struct SetKeyRequest {
    std::string serviceId; // field 2, logged only
    std::string appPath, serverAddr, accountName, password;
    std::string isL2tpText; // field 7 as sent
    std::string dnsPrim, dnsSecond;
    std::string ccp40Text, ccp128Text; // fields 10 and 11 as sent
    std::string l2tpPassword;
    bool isL2tp = false;
    int ccp40 = 0, ccp128 = 0;
};

enum class SetKeyParse { Ok, MissingFields, InvalidField };
// Exactly twelve fields, as the application sends them (it sends no value holding a ","; one that
// did would shift every later field). problem names the first field that failed its check.
SetKeyParse parseSetKey(const std::vector<std::string>& fields, SetKeyRequest& out, std::string& problem);

// The message as it may appear in a log line: for SET_KEY the password and the shared secret
// (fields 6 and 12) are masked; everything else, separators included, is kept, control bytes
// escaped.
std::string maskedForLog(const char* text);

} // namespace helper
