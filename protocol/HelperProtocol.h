#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The helper's message protocol as both programs hold it: the shape of every field of every command
// word, and one builder per message the application sends. The application builds its messages
// here and the helper checks what it receives against the same shapes, so that neither accepts what
// the other would refuse. No I/O.
namespace protocol {

// One receive asks for at most this many bytes; a message that fills it cannot be told from one
// cut short, so every message stays below it.
inline constexpr size_t kMessageBufferSize = 512;
// Every tunnel line and working file is built from the root path; a longer one would not leave
// room for them in the designed buffers.
inline constexpr size_t kMaxRootPathLength = 200;
inline constexpr const char* kServiceName = "TavroVPN";
inline constexpr const char* kVersionReply = "240";
inline constexpr const char* kScNetwork = "CMD_SCNETWORK";
inline constexpr unsigned kOpenConnectPort = 443;

// strtok-like split at ',': leading and repeated separators vanish, so no field is empty. At most
// maxFields fields are returned; the rest of the text is dropped.
std::vector<std::string> splitFields(std::string_view text, size_t maxFields = 64);

// Field shapes.
// Absolute, at most kMaxRootPathLength bytes, no control characters and no "," (which would split
// the field).
bool isUsableRootPath(const std::string& text);
// An IPv4 or IPv6 address literal as inet_pton reads it (no zone, no NUL); family, when asked for,
// is AF_INET or AF_INET6.
bool isIpLiteral(std::string_view text, int* family = nullptr);
// Dot-separated labels of letters, digits, "-" and "_", none empty, longer than 63 or starting or
// ending with "-" (so that no name can be read as an option).
bool isDnsName(const std::string& text);
// What the server list may name for L2TP: a DNS name or an IP literal.
bool isServerAddress(const std::string& text);
// The host of the OpenConnect URL: a DNS name, an IPv4 literal or a bracketed IPv6 literal.
bool isOpenConnectHost(const std::string& text);
// https://HOST:443/ with HOST as above: the only URL the application builds for openconnect.
bool isOpenConnectUrl(const std::string& text);
// A SHA-256 digest in base64 as openconnect's probe prints it.
bool isCertPin(const std::string& text);
// Strict UTF-8 without control characters (C0, DEL, C1).
bool isPlainUtf8(const std::string& text);
// A user name as openconnect is given it: plain UTF-8 without blanks, not starting with "-".
bool isUserName(const std::string& text);
// A credential of the L2TP service: plain UTF-8, not empty.
bool isCredential(const std::string& text);
bool isAppPath(const std::string& text);
// A decimal integer that fits an int: what atoi reads alike for every well-formed value.
bool parseDecimal(const std::string& text, int& value);
// A service identifier as the helper makes them (a UUID), and a keychain service name built from one
// (the identifier, or the identifier followed by ".SS").
bool isServiceIdShape(const std::string& text);
bool isKeychainServiceShape(const std::string& text);
// The service identifier a keychain service name belongs to ("I.SS" → "I").
std::string serviceIdOfKeychainService(const std::string& keychainService);

struct FieldRule {
    const char* name;
    bool (*valid)(const std::string&);
    bool secret; // masked wherever the value would be logged
};

// A command word and its fields after the word, exactly as the application sends them.
struct MessageShape {
    const char* word;
    std::vector<FieldRule> fields;
    bool restIgnored; // further fields are not looked at (the word uses none)
};

// The shapes of a connection's first message and of a CMD_SCNETWORK sub-command; nullptr for a word
// that is not one.
const MessageShape* firstMessageShape(std::string_view word);
const MessageShape* subCommandShape(std::string_view word);

// How fields (fields[0] the word) fail the shape: kFieldCount when there are too few or too many,
// the 1-based index of the first field of another shape, or kMatches.
inline constexpr int kMatches = -1;
inline constexpr int kFieldCount = 0;
int mismatchOf(const MessageShape& shape, const std::vector<std::string>& fields);

// The URL openconnect is given for a host of the server list (an IPv6 literal is bracketed).
std::string openConnectUrl(const std::string& host);

// The bytes of each message the application sends; nullopt when a field is not of its shape or the
// message would not fit the helper's buffer. A connection's first message carries its terminating
// NUL, a sub-command does not.
std::optional<std::string> ovpnStartMessage(const std::string& rootPath);
std::optional<std::string> openConnectStartMessage(const std::string& rootPath, const std::string& user,
                                                   const std::string& host, const std::string& pin);
std::optional<std::string> scNetworkMessage();
// "SET_KEY,(null),APP,SERVER,USER,PASSWORD,TRUE,none,none,0,1,859": the L2TP service as the
// application provisions it.
std::optional<std::string> setKeyMessage(const std::string& appPath, const std::string& serverAddr,
                                         const std::string& accountName, const std::string& password);
std::optional<std::string> removePrefMessage(const std::string& serviceId);

} // namespace protocol
