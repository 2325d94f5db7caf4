#pragma once
#include <atomic>

// Set once the first CONNECTED/SUCCESS has been reported as 2; cleared by ConnectOVPNControle.
extern std::atomic<bool> chkStat;
// Tunnel address (fourth field) of the last parsed state reply, always NUL-terminated.
extern char ovpnAssignAddr[256];
// State name (second field) of the last state reply, always NUL-terminated; empty when the last
// poll got no state line.
extern char ovpnStateName[32];
// Time of that state (first field, seconds since the epoch as openvpn prints them), always
// NUL-terminated; a CONNECTED state with another time is a later connection of openvpn's own.
extern char ovpnStateTime[24];

#include <chrono>

// How long CheckStat reads on for the END line of a state reply that arrives in pieces.
inline constexpr int kStateReplyMs = 250;
// That bound as used; harnesses that queue the whole reply in advance set it to zero, and the reader
// then takes exactly what is already there.
std::chrono::milliseconds stateReplyBound();
void setStateReplyBound(std::chrono::milliseconds bound);

// One state poll on the management connection (the reply is read up to its END line, at most
// stateReplyBound()): -1 credentials refused, 0 ended (RECONNECTING, EXITING, CONNECTED without
// SUCCESS, connection closed), 1 being set up (any other state) or connected again, 2 connected
// for the first time since ConnectOVPNControle.
int CheckStat(int fd);

// Reads "log all" and copies the pushed "dhcp-option DNS " address (at most 16 characters, up to
// the next ",") into out, which must hold at least 17 bytes (callers pass 256). 1 when found.
int GetAssignDNS(int fd, char* out);
