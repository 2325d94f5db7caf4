#include "app/account/AccountHost.h"

#include <atomic>

namespace {
// Set once by the application (or a test); read from any thread.
std::atomic<AccountHost*> g_host{nullptr};
} // namespace

AccountHost::~AccountHost() {
    AccountHost* self = this;
    g_host.compare_exchange_strong(self, nullptr);
}

AccountHost* accountHost() {
    return g_host.load();
}

void setAccountHost(AccountHost* host) {
    g_host.store(host);
}
