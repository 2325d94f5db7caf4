#pragma once
#include "tools/service/FaultControl.h"

#include <httplib.h>

#include <atomic>
#include <functional>
#include <string>

// Keeps the server listening on one address until asked to stop, and takes the listener down while the
// "refuse" fault is in force, so that clients then meet a refused connection, as with a service that is
// down. The port stays the same across such pauses.
class ServiceRunner {
public:
    ServiceRunner(httplib::Server& server, std::string host, FaultControl& faults);

    // Binds the listening socket (port 0: any free port). False with *error when that fails.
    bool bind(int port, std::string* error);
    int port() const { return port_; }
    // Serves until stop becomes true; onReady runs once the listener is up (or, when "refuse" is in force
    // from the start, down). False when the listener could not be brought back after a pause.
    bool run(const std::atomic<bool>& stop, const std::function<void()>& onReady);

private:
    httplib::Server& server_;
    std::string host_;
    FaultControl& faults_;
    int port_{0};
};
