#include "platform/qt/LoginManager.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace {
constexpr const char* kService = "org.freedesktop.login1";
constexpr const char* kPath = "/org/freedesktop/login1";
constexpr const char* kInterface = "org.freedesktop.login1.Manager";
} // namespace

LoginManager::LoginManager(QObject* parent) : QObject(parent) {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) return;
    // Bound to logind's well-known name: another client of the bus cannot fake these.
    const bool shutdown = bus.connect(kService, kPath, kInterface, "PrepareForShutdown", this,
                                      SLOT(onPrepareForShutdown(bool)));
    const bool sleep =
        bus.connect(kService, kPath, kInterface, "PrepareForSleep", this, SLOT(onPrepareForSleep(bool)));
    watching_ = shutdown && sleep;
    if (watching_) takeShutdownDelay();
}

LoginManager::~LoginManager() = default;

void LoginManager::takeShutdownDelay() {
    if (delayLock_.isValid()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Inhibit");
    call << QStringLiteral("shutdown") << QStringLiteral("TavroVPN")
         << QStringLiteral("VPN接続を切断しています") << QStringLiteral("delay");
    // Asynchronous: a missing or slow logind must not hold up the launch.
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
        w->deleteLater();
        if (reply.isError() || !reply.value().isValid()) return;
        delayLock_ = reply.value();
        emit shutdownDelayTaken();
    });
}

void LoginManager::releaseShutdownDelay() {
    delayLock_ = QDBusUnixFileDescriptor(); // closes our copy of the lock's descriptor
}

void LoginManager::onPrepareForShutdown(bool starting) {
    emit prepareForShutdown(starting);
    // A cancelled shutdown: be ready for the next one.
    if (!starting) takeShutdownDelay();
}

void LoginManager::onPrepareForSleep(bool starting) {
    emit prepareForSleep(starting);
}
