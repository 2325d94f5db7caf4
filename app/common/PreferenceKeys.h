#pragma once
#include <array>
#include <string_view>

// Every key of the preference store, in one place.
namespace prefkeys {

inline constexpr const char* serverAddress = "serverAddress";       // text: first server of the list
inline constexpr const char* username = "username";                 // text: saved account
inline constexpr const char* password = "password";                 // text: saved account
inline constexpr const char* AppStartAuto = "AppStartAuto";         // integer 0/1: start at login
inline constexpr const char* ConnectStartAuto = "ConnectStartAuto"; // integer 0/1: connect after login
inline constexpr const char* ProtcolSelAuto = "ProtcolSelAuto";     // integer 0/1: automatic protocol
inline constexpr const char* SaveAccount = "SaveAccount";           // integer 0/1: keep the credentials
inline constexpr const char* regionNumber = "regionNumber";         // text: No of the chosen region
inline constexpr const char* Region = "Region";                     // text: name of the chosen region
inline constexpr const char* ProtcolChoice = "ProtcolChoice";       // text: "OpenConnect", "L2TP", "OpenVPN"
inline constexpr const char* SuccessProtcol = "SuccessProtcol";     // text: last protocol that connected
inline constexpr const char* hostname = "hostname";             // text: never written; removed by initialize
inline constexpr const char* TESTSERVERLIST = "TESTSERVERLIST"; // text: server-list URL override

// A default the launch sequence writes when the key is missing; existing values are never changed.
struct RegisteredDefault {
    enum class Type { text, integer };
    const char* key;
    Type type;
    std::string_view text; // Type::text
    long long integer;     // Type::integer
};

// In the order the launch sequence registers them.
inline constexpr std::array<RegisteredDefault, 10> registeredDefaults{{
    {serverAddress, RegisteredDefault::Type::text, "", 0},
    {username, RegisteredDefault::Type::text, "", 0},
    {password, RegisteredDefault::Type::text, "", 0},
    {AppStartAuto, RegisteredDefault::Type::integer, {}, 0},
    {ConnectStartAuto, RegisteredDefault::Type::integer, {}, 0},
    {ProtcolSelAuto, RegisteredDefault::Type::integer, {}, 1},
    {SaveAccount, RegisteredDefault::Type::integer, {}, 1},
    {regionNumber, RegisteredDefault::Type::text, "0", 0},
    {Region, RegisteredDefault::Type::text, "日本", 0},
    {ProtcolChoice, RegisteredDefault::Type::text, "L2TP", 0},
}};

} // namespace prefkeys
