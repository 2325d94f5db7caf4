#include "tools/service/ServiceRunner.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace {
constexpr auto watchInterval = std::chrono::milliseconds(50);
constexpr int rebindAttempts = 100;
} // namespace

ServiceRunner::ServiceRunner(httplib::Server& server, std::string host, FaultControl& faults)
    : server_(server), host_(std::move(host)), faults_(faults) {}

bool ServiceRunner::bind(int port, std::string* error) {
    if (port == 0) {
        port_ = server_.bind_to_any_port(host_);
        if (port_ > 0) return true;
    } else if (server_.bind_to_port(host_, port)) {
        port_ = port;
        return true;
    }
    if (error) *error = "cannot listen on " + host_ + ":" + std::to_string(port);
    return false;
}

bool ServiceRunner::run(const std::atomic<bool>& stop, const std::function<void()>& onReady) {
    std::atomic<bool> refusing{faults_.reload()->refusesAll()};
    std::atomic<bool> listenerDone{false};
    std::atomic<bool> failed{false};
    // Counts listen rounds so that each round is stopped once: httplib must not be stopped twice while a
    // round is still winding down.
    std::atomic<unsigned> round{0};

    std::thread listener([&] {
        while (!stop) {
            ++round;
            server_.listen_after_bind();
            while (!stop && refusing)
                std::this_thread::sleep_for(watchInterval);
            if (stop) break;
            int attempt = 0;
            while (!stop && !server_.bind_to_port(host_, port_)) {
                if (++attempt >= rebindAttempts) {
                    std::fprintf(stderr, "tavro-service: cannot listen on port %d again\n", port_);
                    failed = true;
                    break;
                }
                std::this_thread::sleep_for(watchInterval);
            }
            if (failed) break;
        }
        listenerDone = true;
    });

    unsigned stoppedRound = 0;
    bool readyReported = false;
    while (!listenerDone) {
        if (!stop) refusing = faults_.reload()->refusesAll();
        const bool wantDown = stop || refusing;
        const unsigned current = round;
        const bool running = server_.is_running();
        if (wantDown && running && current != stoppedRound) {
            server_.stop();
            stoppedRound = current;
        }
        // Ready once the state asked for at start is in place: listening, or (refusing) taken down.
        if (!readyReported && ((running && !refusing) || (refusing && !running && stoppedRound != 0))) {
            readyReported = true;
            if (onReady) onReady();
        }
        std::this_thread::sleep_for(running && !wantDown ? watchInterval : std::chrono::milliseconds(20));
    }
    listener.join();
    return !failed;
}
