#include "platform/qt/DesktopNotifications.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

namespace desktopnotify {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
// The installed desktop entry and its icon.
const QString kDesktopEntry = QStringLiteral("com.norvell.tavrovpn");
constexpr int kCapabilitiesWaitMs = 1000;

QDBusMessage call(const QString& method) {
    return QDBusMessage::createMethodCall(kService, kPath, kService, method);
}

} // namespace

bool serverPresent() {
    const QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() && bus.interface() && bus.interface()->isServiceRegistered(kService).value();
}

bool serverReadsMarkup() {
    const QDBusMessage reply =
        QDBusConnection::sessionBus().call(call(QStringLiteral("GetCapabilities")), QDBus::Block, kCapabilitiesWaitMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return true;
    return reply.arguments().constFirst().toStringList().contains(QStringLiteral("body-markup"));
}

bool notify(const QString& summary, const QString& body) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    QDBusMessage m = call(QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), kDesktopEntry);
    m << QStringLiteral("タブロVPN") << 0u << kDesktopEntry << summary << body << QStringList() << hints << -1;
    return bus.send(m);
}

} // namespace desktopnotify
