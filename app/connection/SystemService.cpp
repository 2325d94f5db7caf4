#include "app/connection/SystemService.h"

#include "app/catalogue/VPNPreferences.h"
#include "app/channels/helpersocket.h"
#include "app/common/SettingUtil.h"
#include "app/connection/ConnectionHost.h"
#include "app/connection/ConnectionWindow.h"
#include "app/connection/PublicAddress.h"
#include "app/connection/SCNetworkConnection.h"
#include "app/service/Constants.h"
#include "platform/Defaults.h"
#include "platform/Paths.h"
#include "protocol/HelperProtocol.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <utility>

std::string extThisServiceID;
std::string extThisServiceName;
std::string extThisService;
SCNetworkConnection* extConnection = nullptr;
std::function<bool()> extL2TPLostHook;
bool extL2TPAttemptPending = false;

namespace {

constexpr int kHelperSettleMs = 1000;
// The helper answers SET_KEY once NetworkManager holds the profile, which may take a while.
constexpr int kSetKeyAnswerMs = kHelperReplyTimeoutSeconds * 1000;
constexpr int kSetKeyAnswerStepMs = 50;
constexpr int kCallTimeoutMs = 25000;
constexpr const char* kServiceName = "TavroVPN";
const QString kNetworkManager = QStringLiteral("org.freedesktop.NetworkManager");

std::unique_ptr<SCNetworkConnection> g_connection; // what extConnection points to

using SettingsMap = QMap<QString, QVariantMap>;

void trace(const std::string& text) {
    std::fprintf(stdout, "%s\n", text.c_str());
    std::fflush(stdout);
}

// The pause after a helper request, with the GUI still painting (user input held back).
void waitWithEvents(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

QDBusMessage settingsCall(const QString& path, const QString& iface, const QString& method) {
    QDBusMessage m = QDBusMessage::createMethodCall(kNetworkManager, path, iface, method);
    return QDBusConnection::systemBus().call(m, QDBus::Block, kCallTimeoutMs);
}

void createConnection() {
    g_connection = std::make_unique<SCNetworkConnection>(QString::fromStdString(extThisServiceID),
                                                         scNetworkConnectionCallback, nullptr);
    extConnection = g_connection.get();
}

void forgetConnection() {
    // The object may be delivering a status right now: it goes once control is back in the loop.
    if (g_connection) g_connection.release()->deleteLater();
    extConnection = nullptr;
}

} // namespace

void readCurrentService() {
    static const QMetaType registered = qDBusRegisterMetaType<SettingsMap>();
    (void)registered;
    QDBusMessage list = settingsCall(QStringLiteral("/org/freedesktop/NetworkManager/Settings"),
                                     QStringLiteral("org.freedesktop.NetworkManager.Settings"),
                                     QStringLiteral("ListConnections"));
    if (list.type() != QDBusMessage::ReplyMessage || list.arguments().isEmpty()) return;
    const auto paths = qdbus_cast<QList<QDBusObjectPath>>(list.arguments().first());
    if (paths.isEmpty()) return;
    for (const QDBusObjectPath& path : paths) {
        QDBusMessage s =
            settingsCall(path.path(), QStringLiteral("org.freedesktop.NetworkManager.Settings.Connection"),
                         QStringLiteral("GetSettings"));
        if (s.type() != QDBusMessage::ReplyMessage || s.arguments().isEmpty()) continue;
        const SettingsMap settings = qdbus_cast<SettingsMap>(s.arguments().first());
        const QVariantMap connection = settings.value(QStringLiteral("connection"));
        const std::string name = connection.value(QStringLiteral("id")).toString().toStdString();
        trace(name);
        if (name != kServiceName) continue;
        extThisServiceName = name;
        extThisServiceID = connection.value(QStringLiteral("uuid")).toString().toStdString();
        extThisService = path.path().toStdString();
        return;
    }
}

void attachSystemServiceConnection() {
    if (extThisServiceID.empty()) return;
    createConnection();
}

bool startSystemServiceConnection() {
    ConnectionHost* host = connectionHost();
    if (!host) return false;
    const std::string server = getServerAddr(platform::Defaults::standard().string("regionNumber"));
    const std::string user = host->authUsername.toStdString();
    const std::string password = host->authPassword.toStdString();
    const std::string app = platform::bundlePath();
    auto endInvalid = [] {
        QTimer::singleShot(
            0, [] { scNetworkConnectionCallback(nullptr, kSCNetworkConnectionInvalid, nullptr); });
    };
    const std::optional<std::string> command = protocol::setKeyMessage(app, server, user, password);
    if (!command) {
        // Not sent: the helper would refuse it, or store shifted fields.
        trace("L2TP: server, account or path not usable in SET_KEY");
        endInvalid();
        return true;
    }
    std::string answer;
    const int fd = requestScNetwork(command->c_str(), &answer);
    for (int waited = 0; fd >= 0 && answer.empty() && waited < kSetKeyAnswerMs; waited += kSetKeyAnswerStepMs) {
        waitWithEvents(kSetKeyAnswerStepMs);
        if (pollHelperAnswer(fd, answer) < 0) break;
    }
    waitWithEvents(kHelperSettleMs);
    if (fd >= 0) socket_close(fd);
    if (answer != "1") {
        // A profile provisioned before would connect with its old gateway and account.
        trace("L2TP: the helper did not provision the service");
        endInvalid();
        return true;
    }
    readCurrentService();
    if (extThisServiceID.empty()) {
        trace("L2TP: no service named TavroVPN");
        endInvalid();
        return true;
    }
    // A service made anew (after initialize, or by hand) has a new identifier.
    if (extConnection && extConnection->serviceID().toStdString() != extThisServiceID) forgetConnection();
    if (!extConnection) createConnection();
    extL2TPAttemptPending = true;
    extConnection->start();
    return true;
}

void stopSystemServiceConnection() {
    if (extConnection) extConnection->stop();
}

void removeSystemService() {
    if (!extThisServiceID.empty()) {
        if (const std::optional<std::string> command = protocol::removePrefMessage(extThisServiceID)) {
            const int fd = requestScNetwork(command->c_str());
            waitWithEvents(kHelperSettleMs);
            // The helper closes its end after the one sub-command; ours is closed here, not leaked.
            if (fd >= 0) socket_close(fd);
        }
    }
    forgetConnection();
    extThisServiceID.clear();
}

void scNetworkConnectionCallback(SCNetworkConnection*, int status, void*) {
    ConnectionHost* host = connectionHost();
    if (!host) return;
    auto clearTexts = [host] {
        host->ipaddrText->setText(QString());
        host->connectedTimeText->setText(QString());
    };
    switch (status) {
    case kSCNetworkConnectionConnected:
        trace("connected");
        host->updateStatus(QStringLiteral("接続中"));
        host->startConnectedTimer();
        GetAndSetIPAddr();
        extL2TPAttemptPending = false;
        Constants::autoConnectCount = -1;
        platform::Defaults::standard().setString("SuccessProtcol", "L2TP");
        host->_current_protcol = QStringLiteral("L2TP");
        break;
    case kSCNetworkConnectionConnecting:
        trace("connecting");
        host->updateStatus(QStringLiteral("接続中..."));
        break;
    case kSCNetworkConnectionDisconnecting:
        trace("disconnecting");
        host->updateStatus(QStringLiteral("接続中..."));
        break;
    case kSCNetworkConnectionDisconnected: {
        trace("disconnected");
        // An attempt that ends before 接続中 failed, and is told as on the other protocols.
        const bool failed = std::exchange(extL2TPAttemptPending, false) && !extIsManualStop.load();
        const bool lost = !failed && host->_vpnStatus == TAVROVPNStatus::connected && !extIsManualStop.load();
        host->stopConnectedTimer();
        if (lost && extL2TPLostHook && extL2TPLostHook()) {
            clearTexts();
            break;
        }
        host->updateStatus(QStringLiteral("未接続"));
        clearTexts();
        host->serverSelButton->setEnabled(true);
        if (failed && !isProtcolAuto()) showConnectFailureNotice();
        goNext();
        break;
    }
    case kSCNetworkConnectionInvalid:
        trace("invalid");
        extL2TPAttemptPending = false;
        host->updateStatus(QStringLiteral("未接続"));
        host->stopConnectedTimer();
        clearTexts();
        host->serverSelButton->setEnabled(true); // the attempt is abandoned: the region may change
        if (!isProtcolAuto()) showConnectFailureNotice();
        // Without NetworkManager every automatic cycle would stop here: move on, as after a failure.
        goNext();
        break;
    default:
        trace("default");
        host->updateStatus(QStringLiteral("未接続"));
        break;
    }
}
