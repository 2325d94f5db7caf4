#pragma once
#include <string>

// Pins of the OpenConnect servers no CA vouches for, each recorded at the first connection to it
// that reached 接続中, as SSH records host keys: <tvrootPath>/openconnect/known_servers, one
// "HOST pin-sha256:PIN" line per server, mode 0600. A file of its own rather than a preference:
// like known_hosts it can be read, and forgotten whole (初期化) or line by line by hand, while
// the preference store keeps to settings.
class KnownServers {
public:
    enum class Lookup { Unknown, Known, Unreadable };
    static Lookup lookup(const std::string& host, std::string& pin);
    // Adds or replaces the host's pin; false when the file could not be written.
    static bool record(const std::string& host, const std::string& pin);
    static void forgetAll();
    static std::string path();

    // Bounds of the file: the oldest servers make room beyond this many.
    static constexpr size_t kMaxServers = 256;
};
