#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/catalogue/ServerInfo.h"

// Region lookup helpers and the load-based server choice over the parsed catalogue.

// Host address of an OpenVPN (getServerAddr) or OpenConnect (getOCServerAddr) server of the region
// numbered regionNo; empty when no server of that region qualifies.
std::string getServerAddr(const std::string& regionNo);
std::string getOCServerAddr(const std::string& regionNo);

// The choice itself, over any list: servers of the region whose status does not exceed the lowest
// status seen so far among the region's earlier servers (starting from 3) are candidates; a status
// of 0 closes the list. One candidate is drawn uniformly.
std::string chooseServerAddr(const std::vector<ServerInfo>& list, const std::string& regionNo);

// Uniform draw in [0, upperBound); upperBound is at least 1. Tests install a seeded source;
// an empty function restores the default (a non-deterministic engine).
using UniformRandom = std::function<uint32_t(uint32_t upperBound)>;
void setServerChoiceRandom(UniformRandom source);

// A server status: optional sign followed by decimal digits, within the range of long long.
std::optional<long long> parseStatus(const std::string& text);

// Text in Unicode canonical composition (NFC); invalid UTF-8 is returned unchanged.
std::string canonicalText(const std::string& text);
// Equality under canonical equivalence (composed and decomposed forms compare equal).
bool canonicallyEqual(const std::string& a, const std::string& b);

// Flag image name for a region display name; "flg_blk" for names outside the flag table.
std::string flagImageName(const std::string& regionName);
inline constexpr const char* kDefaultFlagImage = "flg_blk";
