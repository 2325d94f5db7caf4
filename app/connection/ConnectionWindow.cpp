#include "app/connection/ConnectionWindow.h"

#include "app/catalogue/VPNPreferences.h"
#include "app/channels/ChannelIO.h"
#include "app/channels/OVPNUtil.h"
#include "app/channels/helpersocket.h"
#include "app/common/FileUtil.h"
#include "app/common/SettingUtil.h"
#include "app/connection/ConnectionHost.h"
#include "app/connection/DnsHandling.h"
#include "app/connection/OpenConnecctMgr.h"
#include "app/connection/PublicAddress.h"
#include "app/connection/SystemService.h"
#include "app/service/Constants.h"
#include "app/service/FileDownloader.h"
#include "platform/Defaults.h"
#include "platform/Log.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/Dispatch.h"
#include "protocol/HelperProtocol.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>

std::atomic<bool> extIsManualStop{false};

namespace {

constexpr const char* kDisconnected = "未接続";
constexpr const char* kConnecting = "接続中...";
constexpr const char* kConnected = "接続中";
constexpr const char* kNoticeMessage = "タブロVPN";
constexpr const char* kNoticeText =
    "VPN接続に失敗しました。プロトコルを変更して再接続してください。\n"
    "突然接続できなくなった場合は、設定から「設定を初期化」ボタンをクリックしてください。";

// Trace points go to standard output, flushed so they interleave correctly with other output.
void trace(const char* text) {
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void trace(const std::string& text) {
    trace(text.c_str());
}

// Takes an open descriptor (1 or more) out of a field, leaving -1; an unset field (0 or -1) is left
// as it is. The worker and the GUI thread may both try to close the same descriptor: only the one
// that takes it closes it.
int takeDescriptor(std::atomic<int>& field) {
    int fd = field.load();
    while (fd >= 1 && !field.compare_exchange_weak(fd, -1)) {
    }
    return fd >= 1 ? fd : -1;
}

std::string configFileName(std::string server) {
    std::replace(server.begin(), server.end(), '.', '_');
    return server + ".ovpn";
}

bool isKnownProtcol(const std::string& name) {
    return std::find_if(Constants::protcols.begin(), Constants::protcols.end(),
                        [&](const char* p) { return name == p; }) != Constants::protcols.end();
}

} // namespace

void showConnectFailureNotice() {
    runAlert(kNoticeMessage, kNoticeText, {"OK"});
}

ConnectionWindow::ConnectionWindow(ConnectionHost* app, QObject* parent)
    : QObject(parent), managementPort(kOVPNManagementPort), app_(app) {
    QPointer<ConnectionWindow> self(this);
    OpenConnectMgr::tunnelLostHook = [self] { return self && self->reconnectAfterLoss("OpenConnect"); };
    extL2TPLostHook = [self] { return self && self->reconnectAfterLoss("L2TP"); };
    connect(app->connectButton, &QPushButton::clicked, this,
            [this] { onConnectionButton(app_->connectButton); });
    connect(app->serverSelButton, &QPushButton::clicked, this, [this] { onServerSelButton(); });
}

ConnectionWindow::~ConnectionWindow() {
    // A start worker still uses this object: cancel it and give it time to reach a check.
    cancelStart();
    for (int i = 0; i < 200 && runningStarts_.load() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (_OVPNStatusTimer) _OVPNStatusTimer->stop();
    if (int fd = takeDescriptor(_ovpn_socket_fd); fd >= 1) socket_close(fd);
    if (int fd = takeDescriptor(_helper_daemon_socket); fd >= 1) socket_close(fd);
}

// ---- Connect button ------------------------------------------------------------------------------

void ConnectionWindow::onConnectionButton(QObject*) {
    platform::logText("onConnectionButton");
    app_->_isAction = true;
    if (cancelPendingRestart()) return;
    if (app_->_vpnStatus != TAVROVPNStatus::disconnected)
        stopConnection();
    else
        startConnection();
}

void ConnectionWindow::stopConnection() {
    extIsManualStop = true;
    Constants::autoConnectCount = -1;
    const QString& protcol = app_->_current_protcol;
    if (protcol == "L2TP") {
        trace("L2TP stop");
        stopSystemServiceConnection();
    } else if (protcol == "OpenVPN") {
        trace("OpenVPN stop");
        _on_connection_doing = false;
        // No poll may run between the click and the tear-down: it could still announce 接続中 or
        // show the failure notice after the user's stop.
        if (_OVPNStatusTimer) _OVPNStatusTimer->stop();
        QTimer::singleShot(kStopDelayMs, this, [this] {
            trace("stopOVPNTunnel");
            if (_OVPNStatusTimer) _OVPNStatusTimer->stop();
            resumeOVPNConnect();
        });
    } else if (protcol == "OpenConnect") {
        trace("OpenConnect stop");
        OpenConnectMgr::Stop(true);
    } else {
        trace("default");
    }
    app_->stopConnectedTimer();
    app_->serverSelButton->setEnabled(true);
}

void ConnectionWindow::startConnection() {
    extIsManualStop = false;
    app_->_current_protcol = QString::fromStdString(platform::Defaults::standard().string("ProtcolChoice"));
    // A cycle left by switching to a chosen protocol does not carry over to the next one.
    if (!isProtcolAuto()) Constants::autoConnectCount = -1;
    if (isProtcolAuto() && !runAutomaticCycle()) return;
    startProtcol(app_->_current_protcol);
}

void ConnectionWindow::startProtcol(const QString& protcol) {
    ++started_;
    if (protcol == "L2TP") {
        trace("L2TP start");
        app_->serverSelButton->setEnabled(false);
        app_->updateStatus(kConnecting);
        emit attemptStarted(protcol);
        // Like an operation of the main queue: after this action has returned.
        QTimer::singleShot(0, this, [this] { startL2TP(); });
    } else if (protcol == "OpenVPN") {
        trace("OpenVPN start");
        _ovpn_estb_check_count = 0;
        app_->serverSelButton->setEnabled(false);
        app_->updateStatus(kConnecting);
        emit attemptStarted(protcol);
        // Set here, not in the worker: a stop pressed before the worker runs must still cancel it.
        // The attempt number keeps an abandoned worker from acting on a newer attempt.
        _on_connection_doing = true;
        const unsigned attempt = ++attempt_;
        ++runningStarts_;
        dispatch::globalAsync([this, attempt, user = app_->authUsername.toStdString(),
                               password = app_->authPassword.toStdString()] {
            startOVPNConnection(attempt, user, password);
            --runningStarts_;
        });
    } else if (protcol == "OpenConnect") {
        trace("OpenConnect start");
        _ovpn_estb_check_count = 0;
        app_->serverSelButton->setEnabled(false);
        emit attemptStarted(protcol);
        OpenConnectMgr::Start();
    } else {
        trace("default");
    }
}

bool ConnectionWindow::runAutomaticCycle() {
    const int n = Constants::autoConnectCount.load();
    if (n >= static_cast<int>(Constants::protcols.size())) {
        Constants::autoConnectCount = -1;
        app_->_isAction = false;
        runAlert(kNoticeMessage, kNoticeText, {"はい"});
        return false;
    }
    if (n < 0) {
        // A stored protocol this version does not offer would stall the cycle: start it afresh.
        const auto stored = platform::Defaults::standard().stringForKey("SuccessProtcol");
        if (stored && isKnownProtcol(*stored)) {
            app_->_current_protcol = QString::fromStdString(*stored);
        } else {
            Constants::autoConnectCount = 0;
            app_->_current_protcol = Constants::protcols[0];
        }
    } else {
        app_->_current_protcol = Constants::protcols[static_cast<size_t>(n)];
    }
    ++Constants::autoConnectCount;
    return true;
}

// L2TP has no system service on this platform yet: an attempt that cannot start fails honestly.
void ConnectionWindow::startL2TP() {
    if (startSystemServiceConnection()) return;
    trace("L2TP start failed");
    app_->updateStatus(kDisconnected);
    app_->serverSelButton->setEnabled(true);
    goNext();
}

// ---- OpenVPN start (worker) ----------------------------------------------------------------------

bool ConnectionWindow::cancelled(unsigned attempt) const {
    return !_on_connection_doing.load() || attempt_.load() != attempt;
}

void ConnectionWindow::cancelAttempt(unsigned attempt) {
    QPointer<ConnectionWindow> self(this);
    dispatch::mainAsync([self, attempt] {
        // A newer attempt owns the window by now: its status is not this one's to change.
        if (!self || self->attempt_.load() != attempt) return;
        self->app_->updateStatus(kDisconnected);
        self->app_->serverSelButton->setEnabled(true);
    });
}

// The attempt failed before the poll started: back to idle, and on to the next protocol.
void ConnectionWindow::failAttempt(unsigned attempt, bool showNotice) {
    QPointer<ConnectionWindow> self(this);
    dispatch::mainAsync([self, attempt, showNotice] {
        if (!self || self->attempt_.load() != attempt) return;
        self->app_->connectButton->setEnabled(true);
        self->app_->updateStatus(kDisconnected);
        self->app_->serverSelButton->setEnabled(true);
        if (showNotice) showConnectFailureNotice();
        goNext();
    });
}

void ConnectionWindow::startOVPNConnection(unsigned attempt, const std::string& user,
                                           const std::string& password) {
    // The fields are shared by all attempts: an abandoned start still blocked in a download or in
    // the helper exchange finishes (at its next check) before this one touches them.
    for (int i = 0; i < 9000 && runningStarts_.load() > 1 && !cancelled(attempt); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    {
        std::vector<std::string> current = GetCurrentDNSAddresses();
        std::lock_guard lock(dnsMutex);
        defaultDNSaddrs = std::move(current);
    }
    const std::string server = getServerAddr(platform::Defaults::standard().string("regionNumber"));
    const std::string root = Constants::tvrootPath();

    std::string downloaded;
    std::optional<DownloadError> error;
    const std::optional<std::string> startCommand = protocol::ovpnStartMessage(root);
    if (!startCommand) {
        // The helper would split a "," in the path into fields, or have no room for its lines.
        trace("working folder cannot be sent to the helper: nothing started");
        error = DownloadError{FileDownloader::kDownloadErrorDomain, FileDownloader::kDownloadErrorCode};
    } else if (server.empty()) {
        trace("no OpenVPN server for the region");
        error = DownloadError{FileDownloader::kDownloadErrorDomain, FileDownloader::kDownloadErrorCode};
    } else {
        FileDownloader::loadFileSync(Constants::ovpnConfigURL(configFileName(server)),
                                     [&](const std::string& path, const std::optional<DownloadError>& e) {
                                         downloaded = path;
                                         error = e;
                                     });
    }

    if (cancelled(attempt)) return cancelAttempt(attempt);
    if (error) {
        _on_connection_doing = false;
        return failAttempt(attempt, !isProtcolAuto());
    }
    fileOverwrite(downloaded, root + "/OpenVPN/config.ovpn");
    if (cancelled(attempt)) return cancelAttempt(attempt);

    std::string helperReply;
    _helper_daemon_socket = requestDaemonBySocket(startCommand->data(), startCommand->size(), &helperReply);

    std::this_thread::sleep_for(std::chrono::milliseconds(kHelperWaitMs));
    if (cancelled(attempt)) {
        if (int fd = takeDescriptor(_helper_daemon_socket); fd >= 1) socket_close(fd);
        return cancelAttempt(attempt);
    }

    // The credentials go only to an openvpn that the helper says it started; without its "1"
    // whatever listens on the management port is not ours, and the attempt fails as if refused.
    if (helperReply == "1") {
        _ovpn_socket_fd = ConnectOVPNControle(user.c_str(), password.c_str(), managementPort);
    } else {
        trace("the helper started no openvpn: no management connection");
        _ovpn_socket_fd = -1;
    }

    if (cancelled(attempt)) {
        if (int fd = takeDescriptor(_ovpn_socket_fd); fd >= 1) socket_close(fd);
        if (int fd = takeDescriptor(_helper_daemon_socket); fd >= 1) socket_close(fd);
        return cancelAttempt(attempt);
    }

    if (_ovpn_socket_fd.load() >= 0) {
        QPointer<ConnectionWindow> self(this);
        dispatch::mainAsync([self, attempt] {
            // A stop that came after the last check tears down what was started; no poll then.
            if (!self || self->cancelled(attempt)) return;
            self->_on_connection_doing = false;
            self->app_->connectButton->setEnabled(true);
            self->schedulePoll(kPollIntervalConnectingMs);
        });
        return;
    }

    if (int fd = takeDescriptor(_helper_daemon_socket); fd >= 1) socket_close(fd);
    _on_connection_doing = false;
    failAttempt(attempt, !isProtcolAuto() && !extIsManualStop.load());
}

// ---- Poll ----------------------------------------------------------------------------------------

void ConnectionWindow::schedulePoll(int intervalMs) {
    if (_OVPNStatusTimer) {
        _OVPNStatusTimer->stop();
        _OVPNStatusTimer->deleteLater();
    }
    _OVPNStatusTimer = new QTimer(this);
    _OVPNStatusTimer->setInterval(intervalMs);
    QTimer* timer = _OVPNStatusTimer;
    connect(timer, &QTimer::timeout, this, [this, timer] { OVPNStatusTimerFunc(timer); });
    _OVPNStatusTimer->start();
}

void ConnectionWindow::OVPNStatusTimerFunc(QTimer*) {
    const int fd = _ovpn_socket_fd.load();
    if (fd < 1) return;
    // The helper ends the tunnel channel when the tunnel has ended on its side (openvpn gone, or
    // the helper itself): nothing is left to wait for.
    const int channel = _helper_daemon_socket.load();
    const bool channelClosed = channel >= 1 && channels::peerClosed(channel);
    if (channelClosed) trace("tunnel channel closed");
    const int result = channelClosed ? 0 : CheckStat(fd);
    if (ovpnReconnecting_) return pollOVPNReconnect(result, channelClosed);
    switch (result) {
    case 2:
        onOVPNConnected();
        break;
    case 1:
        if (app_->_vpnStatus == TAVROVPNStatus::connected) {
            // openvpn re-establishing a lost tunnel passes through setup states, which also give 1:
            // the tunnel is gone, whatever the window shows. The state name decides; a CONNECTED
            // line without an address, or no reply at all, is no evidence of a loss.
            if (ovpnStateName[0] != '\0' && std::strcmp(ovpnStateName, "CONNECTED") != 0) {
                // Lost right after a network change: openvpn is already looking for the server.
                if (takeRecentNetworkChange()) return enterOVPNReconnect();
                onOVPNEnded();
            } else if (ovpnStateTime[0] != '\0' && !connectedAt_.empty() && connectedAt_ != ovpnStateTime) {
                // Connected again since the last poll: openvpn restarted on its own (the server
                // ended the session, or pings stopped), which is the loss of this tunnel.
                if (takeRecentNetworkChange()) {
                    trace("reconnected after a network change");
                    return onOVPNConnected();
                }
                trace("openvpn connected anew on its own: the tunnel was lost");
                onOVPNEnded();
            }
            return;
        }
        if (++_ovpn_estb_check_count < kConnectTimeoutPolls) return;
        onOVPNEnded();
        break;
    case 0:
        if (app_->_vpnStatus == TAVROVPNStatus::connected && !channelClosed &&
            std::strcmp(ovpnStateName, "RECONNECTING") == 0 && takeRecentNetworkChange())
            return enterOVPNReconnect();
        onOVPNEnded();
        break;
    default:
        // Refused credentials: openvpn asks again; the attempt ends by the time-out or as lost.
        break;
    }
}

// While openvpn reconnects in place: CONNECTED again ends the wait; its restart states (RECONNECTING
// included) are waited for, up to the attempt's polls; the management connection or the tunnel
// channel closing, or openvpn exiting, is the loss.
void ConnectionWindow::pollOVPNReconnect(int result, bool channelClosed) {
    const bool connected = std::strcmp(ovpnStateName, "CONNECTED") == 0;
    if ((result == 1 || result == 2) && connected) {
        trace("reconnected after a network change");
        onOVPNConnected();
        return;
    }
    const bool restarting = !channelClosed && ovpnStateName[0] != '\0' && std::strcmp(ovpnStateName, "EXITING") != 0;
    if (restarting && ++_ovpn_estb_check_count < kConnectTimeoutPolls) return;
    trace(restarting ? "reconnect given up" : "tunnel lost while reconnecting");
    onOVPNEnded();
}

void ConnectionWindow::onOVPNConnected() {
    ovpnReconnecting_ = false;
    connectedAt_ = ovpnStateTime;
    _ovpn_estb_check_count = 0;
    GetAndSetIPAddr();
    switchDNSToTunnel();
    app_->updateStatus(kConnected);
    SendCommand(_ovpn_socket_fd.load(), "mute 1\n");
    app_->startConnectedTimer();
    schedulePoll(kPollIntervalConnectedMs);
    platform::Defaults::standard().setString("SuccessProtcol", "OpenVPN");
    Constants::autoConnectCount = -1;
}

void ConnectionWindow::onOVPNEnded() {
    // A reconnect that ends without the tunnel back is the loss of a working tunnel.
    const bool wasConnected = app_->_vpnStatus == TAVROVPNStatus::connected || ovpnReconnecting_;
    ovpnReconnecting_ = false;
    trace("stopOVPNTunnel");
    if (_OVPNStatusTimer) _OVPNStatusTimer->stop();
    resumeOVPNConnect();
    app_->updateStatus(kDisconnected);
    app_->stopConnectedTimer();
    app_->serverSelButton->setEnabled(true);
    // A lost tunnel is not retried. An attempt that never reached 接続中 (timed out, refused,
    // or ended by openvpn or the helper) failed: the next protocol follows after a second.
    if (!wasConnected) {
        // A click during this second starts an attempt that this wait must leave alone.
        QTimer::singleShot(1000, this, [this, started = started_] {
            if (started_ == started) goNext();
        });
    }
    if (!isProtcolAuto()) showConnectFailureNotice();
}

// ---- Reconnect after a network change ------------------------------------------------------------

void ConnectionWindow::noteNetworkChange(bool reconnectNow) {
    const bool up = app_->_vpnStatus == TAVROVPNStatus::connected || ovpnReconnecting_ ||
                    (app_->_current_protcol == "OpenConnect" && OpenConnectMgr::reconnecting());
    if (!up) return;
    networkChanged_ = true;
    networkChange_.start();
    if (reconnectNow && reconnectInPlace()) networkChanged_ = false;
}

bool ConnectionWindow::takeRecentNetworkChange() {
    if (!networkChanged_ || networkChange_.hasExpired(kReconnectWindowMs) || extIsManualStop.load()) return false;
    networkChanged_ = false; // once per change
    return true;
}

bool ConnectionWindow::reconnectInPlace() {
    if (extIsManualStop.load()) return false;
    if (app_->_current_protcol == "OpenConnect") return OpenConnectMgr::reconnect();
    const int fd = _ovpn_socket_fd.load();
    if (app_->_current_protcol != "OpenVPN" || fd < 1) return false;
    trace("reconnect after a network change");
    // The hold was switched off at the start: the restart goes straight to the server again.
    SendCommand(fd, "signal SIGUSR1\n");
    enterOVPNReconnect();
    return true;
}

void ConnectionWindow::enterOVPNReconnect() {
    if (!ovpnReconnecting_) trace("reconnecting in place");
    ovpnReconnecting_ = true;
    _ovpn_estb_check_count = 0;
    app_->stopConnectedTimer();
    app_->updateStatus(kConnecting);
    schedulePoll(kPollIntervalConnectingMs);
}

bool ConnectionWindow::reconnectAfterLoss(const QString& protcol) {
    if (!takeRecentNetworkChange()) return false;
    trace("reconnect after a network change");
    pendingRestart_ = protcol;
    restartWait_.start();
    app_->stopConnectedTimer();
    app_->serverSelButton->setEnabled(false);
    app_->updateStatus(kConnecting);
    restartWhenUplinkIsBack();
    return true;
}

// Started over an uplink only: an attempt while the machine has none would fail at once.
void ConnectionWindow::restartWhenUplinkIsBack() {
    if (pendingRestart_.isEmpty()) return;
    QPointer<ConnectionWindow> self(this);
    if (uplinkPresent && !uplinkPresent()) {
        if (!restartWait_.hasExpired(kUplinkWaitMs)) {
            QTimer::singleShot(kUplinkCheckMs, this, [self] {
                if (self) self->restartWhenUplinkIsBack();
            });
            return;
        }
        trace("reconnect given up: no uplink");
        pendingRestart_.clear();
        app_->updateStatus(kDisconnected);
        app_->serverSelButton->setEnabled(true);
        if (!isProtcolAuto()) showConnectFailureNotice();
        goNext();
        return;
    }
    QTimer::singleShot(kReconnectDelayMs, this, [self] {
        // The user may have stopped in the meantime.
        if (!self || self->pendingRestart_.isEmpty() || extIsManualStop.load()) return;
        const QString protcol = std::exchange(self->pendingRestart_, QString());
        self->app_->_isAction = true;
        self->app_->_current_protcol = protcol;
        self->startProtcol(protcol);
    });
}

bool ConnectionWindow::cancelPendingRestart() {
    if (pendingRestart_.isEmpty()) return false;
    trace("reconnect stopped by the user");
    pendingRestart_.clear();
    extIsManualStop = true;
    Constants::autoConnectCount = -1;
    app_->updateStatus(kDisconnected);
    app_->serverSelButton->setEnabled(true);
    return true;
}

void ConnectionWindow::cancelStart() {
    _on_connection_doing = false;
    ++attempt_;
}

// ---- DNS -----------------------------------------------------------------------------------------

void ConnectionWindow::switchDNSToTunnel() {
    const int helperFd = _helper_daemon_socket.load();
    const std::string root = Constants::tvrootPath();
    if (!dns::rootUsableInLine(root)) {
        trace("DNS not switched: the working folder cannot be used in a command line");
        return;
    }
    // Switched already (connected again in place): the copy would be the tunnel's own resolver.
    if (!dnsSwitched_) dns::sendLine(helperFd, dns::saveResolverLine(root));

    char buffer[256] = {};
    GetAssignDNS(_ovpn_socket_fd.load(), buffer);
    buffer[sizeof buffer - 1] = '\0';
    // A pushed value that is not an address counts as none: it never reaches a shell.
    _assignDNS = dns::isIpLiteral(buffer) ? buffer : "";

    const std::string line = dns::switchLine(root, _assignDNS);
    if (line.size() > dns::kMaxCommandLine) return;
    dns::sendLine(helperFd, line);
    dnsSwitched_ = helperFd >= 1 && !_assignDNS.empty();
}

void ConnectionWindow::restoreDNS(int helperFd) {
    std::vector<std::string> addresses;
    {
        std::lock_guard lock(dnsMutex);
        addresses = defaultDNSaddrs;
    }
    // After a switch the restore runs even without a captured list: set-dns.sh brings the saved
    // resolver back, and the system must not stay on the tunnel's server.
    if (addresses.empty() && !dnsSwitched_) return;
    const std::string root = Constants::tvrootPath();
    if (!dns::rootUsableInLine(root)) return;
    const std::string line = dns::restoreLine(root, addresses);
    trace("resumeOVPNConnect 2");
    trace(line);
    dns::sendLine(helperFd, line);
}

// ---- Tear-down -----------------------------------------------------------------------------------

void ConnectionWindow::resumeOVPNConnect() {
    trace("resumeOVPNConnect");
    ovpnReconnecting_ = false;
    connectedAt_.clear();
    if (_OVPNStatusTimer) {
        _OVPNStatusTimer->stop();
        _OVPNStatusTimer->deleteLater();
        _OVPNStatusTimer = nullptr;
    }
    app_->stopConnectedTimer();
    if (int fd = takeDescriptor(_ovpn_socket_fd); fd >= 1) {
        SendCommand(fd, "signal SIGTERM\n");
        socket_close(fd);
    }
    trace("resumeOVPNConnect 1");
    if (int fd = takeDescriptor(_helper_daemon_socket); fd >= 1) {
        restoreDNS(fd);
        socket_close(fd);
    }
    dnsSwitched_ = false;
    trace("resumeOVPNConnect 3");
    trace("resumeOVPNConnect 4");
    QPointer<ConnectionWindow> self(this);
    dispatch::mainAsync([self] {
        if (!self) return;
        self->app_->updateStatus(kDisconnected);
        trace("resumeOVPNConnect 5");
        self->app_->ipaddrText->setText("");
        trace("resumeOVPNConnect 6");
        self->app_->connectedTimeText->setText("");
        trace("resumeOVPNConnect 7");
    });
    _assignDNS.clear();
}

// ---- Automatic cycle -----------------------------------------------------------------------------

void goNext() {
    ConnectionHost* app = connectionHost();
    // A newer attempt is under way: the cycle is its, and the click would stop it.
    if (app && app->_vpnStatus != TAVROVPNStatus::disconnected) return;
    if (!isProtcolAuto() || !app || !app->_isAction || extIsManualStop.load()) {
        // The cycle ends here: the next click starts a fresh one.
        Constants::autoConnectCount = -1;
        return;
    }
    app->connectButton->click();
}
