#include "app/connection/SCNetworkConnection.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QTimer>
#include <cstdio>

namespace {

const QString kService = QStringLiteral("org.freedesktop.NetworkManager");
const QString kNmPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString kSettingsPath = QStringLiteral("/org/freedesktop/NetworkManager/Settings");
const QString kSettingsIface = QStringLiteral("org.freedesktop.NetworkManager.Settings");
const QString kActiveIface = QStringLiteral("org.freedesktop.NetworkManager.Connection.Active");
const QString kVpnIface = QStringLiteral("org.freedesktop.NetworkManager.VPN.Connection");
const QString kPropertiesIface = QStringLiteral("org.freedesktop.DBus.Properties");
constexpr int kCallTimeoutMs = 25000;
constexpr int kNoStatus = -2;

// NetworkManager's VPN states: 1 prepare to 4 getting the address, 5 activated, 6 failed and
// 7 disconnected (after a 6 no 7 follows: the activation leaves the bus instead).
int fromVpnState(uint state) {
    if (state == 5) return kSCNetworkConnectionConnected;
    if (state >= 6) return kSCNetworkConnectionDisconnected;
    if (state >= 1) return kSCNetworkConnectionConnecting;
    return kNoStatus;
}

// The active connection's own states: 1 activating, 2 activated, 3 deactivating, 4 deactivated.
// Being up is the VPN state's to say: the active connection may count as activated before the
// tunnel is.
int fromActiveState(uint state) {
    switch (state) {
    case 1:
        return kSCNetworkConnectionConnecting;
    case 3:
        return kSCNetworkConnectionDisconnecting;
    case 4:
        return kSCNetworkConnectionDisconnected;
    default:
        return kNoStatus;
    }
}

QDBusMessage call(const QString& path, const QString& iface, const QString& method,
                  const QList<QVariant>& args = {}) {
    QDBusMessage m = QDBusMessage::createMethodCall(kService, path, iface, method);
    m.setArguments(args);
    return QDBusConnection::systemBus().call(m, QDBus::Block, kCallTimeoutMs);
}

QVariant busProperty(const QString& path, const QString& iface, const QString& name) {
    QDBusMessage r = call(path, kPropertiesIface, QStringLiteral("Get"), {iface, name});
    if (r.type() != QDBusMessage::ReplyMessage || r.arguments().isEmpty()) return {};
    return r.arguments().first().value<QDBusVariant>().variant();
}

void trace(const QString& text) {
    std::fprintf(stdout, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stdout);
}

} // namespace

SCNetworkConnection::SCNetworkConnection(const QString& serviceID, Callback callback, void* info,
                                         QObject* parent)
    : QObject(parent), serviceID_(serviceID), callback_(callback), info_(info) {
    QDBusConnection bus = QDBusConnection::systemBus();
    // Every activation's signals, whatever its path: the path is known only once ActivateConnection
    // has answered, and an activation started elsewhere is followed as well.
    bus.connect(kService, QString(), kVpnIface, QStringLiteral("VpnStateChanged"), this,
                SLOT(onVpnStateChanged(uint, uint, QDBusMessage)));
    bus.connect(kService, QString(), kActiveIface, QStringLiteral("StateChanged"), this,
                SLOT(onActiveStateChanged(uint, uint, QDBusMessage)));
    bus.connect(kService, QStringLiteral("/org/freedesktop"),
                QStringLiteral("org.freedesktop.DBus.ObjectManager"), QStringLiteral("InterfacesRemoved"),
                this, SLOT(onInterfacesRemoved(QDBusObjectPath, QStringList)));
    auto* watcher = new QDBusServiceWatcher(kService, bus, QDBusServiceWatcher::WatchForUnregistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this,
            &SCNetworkConnection::onNetworkManagerGone);
    followExisting();
}

void SCNetworkConnection::followExisting() {
    const QVariant actives = busProperty(kNmPath, kService, QStringLiteral("ActiveConnections"));
    const auto paths = qdbus_cast<QList<QDBusObjectPath>>(actives);
    for (const QDBusObjectPath& p : paths)
        if (ours(p.path())) {
            catchUp();
            return;
        }
}

bool SCNetworkConnection::ours(const QString& path) {
    if (!activePath_.isEmpty()) return path == activePath_;
    if (path == endedPath_) return false; // its last signals, after the end was seen
    if (!path.startsWith(kNmPath + QStringLiteral("/ActiveConnection/"))) return false;
    if (busProperty(path, kActiveIface, QStringLiteral("Uuid")).toString() != serviceID_) return false;
    activePath_ = path;
    return true;
}

// The state the activation has reached by now, for signals sent before its path was known.
void SCNetworkConnection::catchUp() {
    const QVariant vpn = busProperty(activePath_, kVpnIface, QStringLiteral("VpnState"));
    int status = vpn.isValid() ? fromVpnState(vpn.toUInt()) : kNoStatus;
    if (status == kNoStatus) {
        const QVariant state = busProperty(activePath_, kActiveIface, QStringLiteral("State"));
        // Gone already: the activation ended before it could be asked.
        status = state.isValid() ? fromActiveState(state.toUInt()) : kSCNetworkConnectionDisconnected;
    }
    if (status == kSCNetworkConnectionDisconnected)
        ended(status);
    else if (status != kNoStatus)
        deliver(status);
}

bool SCNetworkConnection::start() {
    if (!activePath_.isEmpty()) return true; // already under way
    QDBusMessage found =
        call(kSettingsPath, kSettingsIface, QStringLiteral("GetConnectionByUuid"), {serviceID_});
    if (found.type() != QDBusMessage::ReplyMessage || found.arguments().isEmpty()) {
        trace(QStringLiteral("SCNetworkConnectionStart: ") + found.errorMessage());
        deliverLater(kSCNetworkConnectionInvalid);
        return false;
    }
    const QDBusObjectPath root(QStringLiteral("/"));
    QDBusMessage act =
        call(kNmPath, kService, QStringLiteral("ActivateConnection"),
             {found.arguments().first(), QVariant::fromValue(root), QVariant::fromValue(root)});
    if (act.type() != QDBusMessage::ReplyMessage || act.arguments().isEmpty()) {
        trace(QStringLiteral("SCNetworkConnectionStart: ") + act.errorMessage());
        deliverLater(kSCNetworkConnectionInvalid);
        return false;
    }
    activePath_ = act.arguments().first().value<QDBusObjectPath>().path();
    catchUp();
    return true;
}

bool SCNetworkConnection::stop() {
    if (activePath_.isEmpty()) return false;
    QDBusMessage r = call(kNmPath, kService, QStringLiteral("DeactivateConnection"),
                          {QVariant::fromValue(QDBusObjectPath(activePath_))});
    if (r.type() != QDBusMessage::ReplyMessage) {
        trace(QStringLiteral("SCNetworkConnectionStop: ") + r.errorMessage());
        return false;
    }
    return true;
}

void SCNetworkConnection::onVpnStateChanged(uint state, uint, const QDBusMessage& message) {
    if (!ours(message.path())) return;
    const int status = fromVpnState(state);
    if (status == kSCNetworkConnectionDisconnected)
        ended(status);
    else if (status != kNoStatus)
        deliver(status);
}

void SCNetworkConnection::onActiveStateChanged(uint state, uint, const QDBusMessage& message) {
    if (!ours(message.path())) return;
    const int status = fromActiveState(state);
    if (status == kSCNetworkConnectionDisconnected)
        ended(status);
    else if (status != kNoStatus)
        deliver(status);
}

void SCNetworkConnection::onInterfacesRemoved(const QDBusObjectPath& path, const QStringList&) {
    if (!activePath_.isEmpty() && path.path() == activePath_) ended(kSCNetworkConnectionDisconnected);
}

void SCNetworkConnection::onNetworkManagerGone() {
    if (!activePath_.isEmpty()) ended(kSCNetworkConnectionInvalid);
}

void SCNetworkConnection::ended(int status) {
    endedPath_ = activePath_;
    activePath_.clear();
    deliver(status);
}

void SCNetworkConnection::deliver(int status) {
    // Invalid is news every time (each refused start); the others only when they change.
    if (status == status_ && status != kSCNetworkConnectionInvalid) return;
    status_ = status;
    if (callback_) callback_(this, status, info_);
}

void SCNetworkConnection::deliverLater(int status) {
    QTimer::singleShot(0, this, [this, status] { deliver(status); });
}
