#pragma once
// A private message bus standing in for the system bus, and on it a stand-in for logind's Manager
// object: Inhibit hands out the write end of a pipe (whose read end tells when every holder has let
// go), and the test makes it announce PrepareForShutdown / PrepareForSleep. The bus's address is
// put in DBUS_SYSTEM_BUS_ADDRESS, so it must start before the process first uses the system bus.
#include "ProcessUtil.h"
#include "platform/Task.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>

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
        daemon_.launchPath = "/usr/bin/dbus-daemon";
        daemon_.arguments = {"--session", "--nofork", "--nopidfile", "--print-address=1"};
        daemon_.standardOutput = platform::Task::Stdio::Pipe;
        daemon_.standardError = platform::Task::Stdio::Null;
        if (!daemon_.launch()) return false;
        address = testsupport::readLine(daemon_.standardOutputFd(), std::chrono::seconds(5));
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
