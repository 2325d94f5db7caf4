#include "app/connection/SystemService.h"

#include "app/channels/helpersocket.h"

#include <QEventLoop>
#include <QTimer>

std::string extThisServiceID;
std::string extThisServiceName;
bool extConnection = false;

namespace {

constexpr int kHelperSettleMs = 1000;

// The pause after a helper request, with the GUI still painting (user input held back).
void waitWithEvents(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

} // namespace

void readCurrentService() {}
void attachSystemServiceConnection() {}
bool startSystemServiceConnection() {
    return false;
}
void stopSystemServiceConnection() {}

void removeSystemService() {
    if (!extThisServiceID.empty()) {
        const std::string command = "REMOVE_PREF," + extThisServiceID;
        const int fd = requestScNetwork(command.c_str());
        waitWithEvents(kHelperSettleMs);
        // The helper closes its end after the one sub-command; ours is closed here, not leaked.
        if (fd >= 0) socket_close(fd);
    }
    extConnection = false;
    extThisServiceID.clear();
}
