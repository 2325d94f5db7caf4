#include "app/connection/ConnectionHost.h"

#include <atomic>

namespace {
// Set once by the application (or a test); read from any thread.
std::atomic<ConnectionHost*> g_host{nullptr};
} // namespace

std::optional<TAVROVPNStatus> makeTAVROVPNStatus(int raw) {
    if (raw < 0 || raw > 2) return std::nullopt;
    return static_cast<TAVROVPNStatus>(raw);
}

ConnectionHost::~ConnectionHost() {
    ConnectionHost* self = this;
    g_host.compare_exchange_strong(self, nullptr);
}

ConnectionHost* connectionHost() {
    return g_host.load();
}

void setConnectionHost(ConnectionHost* host) {
    g_host.store(host);
}
