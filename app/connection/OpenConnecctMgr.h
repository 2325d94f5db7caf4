#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <semaphore>
#include <string>
#include <string_view>
#include <vector>

struct ServerCertificate;

// One OpenConnect connection attempt at a time, from the server's certificate to the tear-down.
// All state is type-level: the connect button calls Start() and Stop(true); a worker on the global
// queue runs the attempt and reports every display change to the GUI thread.
//
// Files, all under <tvrootPath>/openconnect: the launcher "openconnect", "password.txt" (mode
// 0600), "status.log" / "childpid", which the helper's openconnect writes as root, and
// "known_servers" (KnownServers).
//
// The server proves who it is before the password is written: its certificate verifies for the
// host under the system CA store plus the deployment CA bundle, or its pin is the one recorded at
// the first connection to it that reached 接続中. openconnect is then given that very pin, and
// accepts no other certificate.
class OpenConnectMgr {
public:
    static void Start();
    static void Stop(bool isManual);
    // Kills openconnect through the tunnel channel, waits for the worker, resets the display.
    static void StopFunc();
    // One poll of status.log before the tunnel is up: 1 connected, 0 not yet, -1 failed.
    static int OnConnectStatus();
    // One poll while the tunnel is up: 1 still fine, -1 broken (or the reconnect given up).
    static int OnConnectStatus2();
    // Asks the running openconnect, through the helper, to reconnect where it is (the uplink
    // changed): its tunnel device, routes and the leak block stay. False when no tunnel is up.
    static bool reconnect();
    // Between reconnect() and openconnect's next CSTP connection, or the give-up.
    static bool reconnecting() { return _reconnecting.load(); }
    static constexpr std::chrono::seconds kReconnectLimit{93};
    static void showAlert();

    static std::atomic<int> _helper_daemon_socket; // tunnel channel; -1 when none
    static std::atomic<int> _opcon_estb_check_count;
    static std::atomic<bool> _IsStopManual;
    static std::atomic<bool> _OnSarting;
    static std::atomic<bool> _OnStoping;
    // Signalled once by every worker as it ends; created on first use.
    static std::counting_semaphore<>& _semaphore();

    // Workers started whose end signal no StopFunc has taken yet. StopFunc waits only when one
    // is owed, so a stop with no worker behind it returns at once.
    static std::atomic<int> _pendingWorkerSignals;

    // The certificate query gives up and the attempt fails after this long: a server that drops
    // SYNs silently would otherwise hold the worker for minutes.
    static std::chrono::milliseconds probeTimeLimit;
    // status.log polls that find no file before the attempt is given up (the helper never ran
    // openconnect: its shell creates the file at once).
    static constexpr int kMissingStatusPollLimit = 60;
    static constexpr int kEstablishPollLimit = 31;
    // Only the end of status.log is read; the file is written by a program fed by the server.
    static constexpr size_t kStatusReadLimit = 1u << 20;
    // What one poll logs of status.log at most: whole lines not logged before.
    static constexpr size_t kStatusLogChunk = 4096;

    // The hand-over to the next protocol of the automatic cycle; empty: goNext(). Tests observe it.
    static std::function<void()> nextProtocolHook;
    // Asked on the GUI thread when a working tunnel was lost without a stop request: true when the
    // connection reconnects instead of the designed hand-over or alert.
    static std::function<bool()> tunnelLostHook;
    // The current attempt's tunnel came up (reset by Start).
    static std::atomic<bool> _tunnelWasUp;
    static std::atomic<bool> _reconnecting;
    static std::atomic<std::int64_t> _reconnectDeadline; // steady clock, nanoseconds
    // The server's certificate for a host; empty: ServerCertificate::query on port 443. Tests
    // script it.
    static std::function<ServerCertificate(const std::string& host)> certificateQueryHook;
    // The addresses of this machine's point-to-point interfaces that are up; empty:
    // tunnelAddresses(). Tests script it.
    static std::function<std::vector<std::string>()> tunnelAddressesHook;
    static std::vector<std::string> tunnelAddresses();

    // ---- Pure pieces of the attempt (no state, no I/O) ----

    enum class StatusVerdict { NotYet, Connected, Failed };
    // What status.log says before the tunnel is up, from whole lines as openconnect and the
    // routing script print them. The server's own texts land there too and may hold line breaks,
    // so "Configured as A" and "add net default: gateway A" count only for an address A that one
    // of tunnelAddresses holds.
    static StatusVerdict establishVerdict(std::string_view statusText,
                                          const std::vector<std::string>& tunnelAddresses);
    // True when a whole line of status.log reports a lost session (checked while the tunnel is up).
    static bool sessionLost(std::string_view statusText);
    // "kill -HUP $(cat "<path>")" with the characters that stay special inside double quotes
    // escaped; nullopt when the path holds a line break or NUL.
    static std::optional<std::string> killCommandFor(const std::string& childpidPath, const char* signal = "HUP");
    // text with every byte that is not part of printable UTF-8 (line breaks and tabs kept) written
    // as \xNN: what reaches the log from status.log.
    static std::string escapedForLog(std::string_view text);

    // Reads at most the last maxBytes of a regular file, as bytes; when cut, from the first whole
    // line on. nullopt when it is missing, not a regular file or unreadable; *missing tells which.
    static std::optional<std::string> readFileTail(const std::string& path, size_t maxBytes, bool* missing);
    // Writes text to path through a temporary file in the same folder, mode 0600, then renames.
    static bool writeSecretFile(const std::string& path, std::string_view text, std::string* error);

    static std::string folderPath(); // <tvrootPath>/openconnect

private:
    struct Attempt {
        std::string username;
        std::string password;
    };
    static void worker(const Attempt& attempt);
    // Whether the attempt may go on with the certificate the server presented; *firstUse when its
    // pin is to be recorded once the tunnel is up. Logs why not.
    static bool acceptServer(const std::string& host, const ServerCertificate& presented, bool* firstUse);
    // Runs the attempt up to its end; returns when it failed, timed out or was stopped.
    static void runAttempt(const Attempt& attempt);
    static void finishWorker();
    static int reconnectStatus(std::string_view newLines);
    // Hangs up openconnect through the tunnel channel and closes it; whoever takes the channel
    // first (StopFunc or the ending worker) does it, exactly once.
    static void killOpenConnect();
};
