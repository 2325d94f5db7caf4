#pragma once
// Stand-ins on private message buses, each started before the process first uses the bus it
// replaces (its address goes into the environment):
// - FakeLogind, for the system bus: logind's Manager object. Inhibit hands out the write end of a
//   pipe (whose read end tells when every holder has let go), and the test makes it announce
//   PrepareForShutdown / PrepareForSleep.
// - FakeNotifications, for the session bus: a desktop notification server that records what it is
//   sent.
#include "ProcessUtil.h"
#include "platform/Task.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QVariantMap>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace testsupport {
// Starts a dbus-daemon of the test's own; its address, or empty when it could not start.
inline std::string startPrivateBus(platform::Task& daemon) {
    daemon.launchPath = "/usr/bin/dbus-daemon";
    daemon.arguments = {"--session", "--nofork", "--nopidfile", "--print-address=1"};
    daemon.standardOutput = platform::Task::Stdio::Pipe;
    daemon.standardError = platform::Task::Stdio::Null;
    if (!daemon.launch()) return {};
    return readLine(daemon.standardOutputFd(), std::chrono::seconds(5));
}
} // namespace testsupport

class FakeLogind : public QDBusVirtualObject {
public:
    ~FakeLogind() override {
        if (bus_.isConnected()) {
            bus_.unregisterService("org.freedesktop.login1");
            bus_.unregisterObject("/org/freedesktop/login1");
        }
        QDBusConnection::disconnectFromBus("fake-logind");
        if (lockReadEnd >= 0) ::close(lockReadEnd);
        daemon_.terminate();
        daemon_.waitUntilExit(std::chrono::seconds(5));
    }

    // Starts the bus and takes logind's name on it; false when dbus-daemon is missing or fails.
    bool start() {
        address = testsupport::startPrivateBus(daemon_);
        if (address.empty()) return false;
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        bus_ = QDBusConnection::connectToBus(QString::fromStdString(address), "fake-logind");
        return bus_.isConnected() &&
               bus_.registerVirtualObject("/org/freedesktop/login1", this, QDBusConnection::SingleNode) &&
               bus_.registerService("org.freedesktop.login1");
    }

    // Sends one of logind's announcements, from logind (or from `from`, another connection).
    bool announce(const char* name, bool value, QDBusConnection* from = nullptr) {
        QDBusMessage m =
            QDBusMessage::createSignal("/org/freedesktop/login1", "org.freedesktop.login1.Manager", name);
        m << value;
        return (from ? *from : bus_).send(m);
    }

    // True once every copy of the descriptor handed out by Inhibit has been closed.
    bool lockReleased() const {
        pollfd p{lockReadEnd, POLLIN, 0};
        char c;
        return lockReadEnd >= 0 && ::poll(&p, 1, 0) == 1 && ::read(lockReadEnd, &c, 1) == 0;
    }

    QString introspect(const QString&) const override {
        return "<interface name=\"org.freedesktop.login1.Manager\"><method name=\"Inhibit\">"
               "<arg type=\"s\" direction=\"in\"/><arg type=\"s\" direction=\"in\"/><arg type=\"s\" "
               "direction=\"in\"/><arg type=\"s\" direction=\"in\"/><arg type=\"h\" direction=\"out\"/>"
               "</method></interface>";
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.member() != "Inhibit" || message.arguments().size() != 4) return false;
        inhibitArgs.clear();
        for (const QVariant& a : message.arguments())
            inhibitArgs << a.toString();
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return false;
        if (lockReadEnd >= 0) ::close(lockReadEnd);
        lockReadEnd = fds[0];
        const QDBusUnixFileDescriptor handed(fds[1]); // keeps a duplicate
        ::close(fds[1]);
        connection.send(message.createReply(QVariant::fromValue(handed)));
        return true;
    }

    std::string address;
    QStringList inhibitArgs;
    int lockReadEnd = -1;

private:
    platform::Task daemon_;
    QDBusConnection bus_{QString()};
};

class FakeNotifications : public QDBusVirtualObject {
public:
    struct Notice {
        QString app, icon, summary, body, desktopEntry;
    };
    explicit FakeNotifications(bool markup) : markup_(markup) {}
    ~FakeNotifications() override {
        if (bus_.isConnected()) {
            bus_.unregisterService("org.freedesktop.Notifications");
            bus_.unregisterObject("/org/freedesktop/Notifications");
        }
        QDBusConnection::disconnectFromBus("fake-notifications");
        daemon_.terminate();
        daemon_.waitUntilExit(std::chrono::seconds(5));
    }

    // Starts the bus; with `serve`, takes the notification server's name on it.
    bool start(bool serve = true) {
        const std::string address = testsupport::startPrivateBus(daemon_);
        if (address.empty()) return false;
        setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        bus_ = QDBusConnection::connectToBus(QString::fromStdString(address), "fake-notifications");
        return bus_.isConnected() &&
               (!serve || (bus_.registerVirtualObject("/org/freedesktop/Notifications", this,
                                                      QDBusConnection::SingleNode) &&
                           bus_.registerService("org.freedesktop.Notifications")));
    }

    // The server goes away; the bus stays.
    void stopServing() { bus_.unregisterService("org.freedesktop.Notifications"); }

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.member() == "GetCapabilities") {
            const QStringList caps = markup_ ? QStringList{"body", "body-markup"} : QStringList{"body"};
            connection.send(message.createReply(QVariant(caps)));
            return true;
        }
        const QVariantList a = message.arguments();
        if (message.member() != "Notify" || a.size() != 8) return false;
        received.push_back({a[0].toString(), a[2].toString(), a[3].toString(), a[4].toString(),
                            qdbus_cast<QVariantMap>(a[6]).value("desktop-entry").toString()});
        connection.send(message.createReply(QVariant(quint32(received.size()))));
        return true;
    }

    std::vector<Notice> received;

private:
    bool markup_;
    platform::Task daemon_;
    QDBusConnection bus_{QString()};
};
