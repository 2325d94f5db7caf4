#pragma once
#include "platform/Task.h"

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// tavro-service on a free loopback port, with its own state folder and request record; stopped by
// its PID when the object goes away.
class LocalService {
public:
    LocalService() = default;
    LocalService(const LocalService&) = delete;
    LocalService& operator=(const LocalService&) = delete;
    ~LocalService();

    // Starts the service with the extra arguments and waits (bounded) for its ready file.
    bool start(const std::vector<std::string>& extraArgs = {});
    void stop();
    bool running() const { return started_; }

    const std::string& host() const { return host_; } // "127.0.0.1:PORT"
    const std::string& caFile() const { return caFile_; }
    const std::string& error() const { return error_; }

    // Replaces the faults in force (the service re-reads the file for every request).
    bool setFaults(const std::string& text) const;
    // Every request recorded so far, oldest first.
    std::vector<nlohmann::json> recorded() const;
    // The recorded login requests (path /tavro_cm/auth), oldest first.
    std::vector<nlohmann::json> recordedLogins() const;

    // A recorded header's value ("" when absent; names compared without case).
    static std::string header(const nlohmann::json& entry, const std::string& name);
    // Every recorded value of a header, in order.
    static std::vector<std::string> headers(const nlohmann::json& entry, const std::string& name);
    // The client's Content-Type. The service shows its parser a neutral type in place of the client's
    // and the record may list that one too; it is not what the client sent.
    static std::string clientContentType(const nlohmann::json& entry);
    // The exact body bytes of a recorded request.
    static std::string body(const nlohmann::json& entry);

private:
    platform::Task task_;
    bool started_ = false;
    std::string stateDir_;
    std::string host_;
    std::string caFile_;
    std::string faultsFile_;
    std::string recordFile_;
    std::string error_;
};
