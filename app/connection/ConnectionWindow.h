#pragma once
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class ConnectionHost;
class QTimer;
class QWidget;
class ServerListTableView;

// True from the user's stop until the next connect; blocks automatic retries and some notices.
extern std::atomic<bool> extIsManualStop;

// Controller behind the main window's connect button and region selection list: decides between
// stop and connect, runs the automatic protocol cycle and drives the OpenVPN flow.
class ConnectionWindow : public QObject {
    Q_OBJECT
public:
    explicit ConnectionWindow(ConnectionHost* app, QObject* parent = nullptr);
    ~ConnectionWindow() override;

    void onConnectionButton(QObject* sender);
    void onServerSelButton();
    void onServerSelCloseButton();

    // Tears the OpenVPN connection down (GUI thread).
    void resumeOVPNConnect();
    // One poll of OpenVPN's state (GUI thread); the timer argument is not used.
    void OVPNStatusTimerFunc(QTimer* timer = nullptr);

    QWidget* selServerWindow = nullptr;
    ServerListTableView* selServerTableView = nullptr;

    // Per-window connection state.
    QTimer* _OVPNStatusTimer = nullptr;
    std::string _assignDNS;
    std::vector<std::string> defaultDNSaddrs; // written by the start worker under dnsMutex
    std::atomic<int> _helper_daemon_socket{0};
    std::atomic<int> _ovpn_socket_fd{0};
    int _ovpn_estb_check_count = 0;
    std::atomic<bool> _on_connection_doing{false};

    std::mutex dnsMutex;
    // Management port of the local openvpn; tests point it at a scripted peer.
    uint16_t managementPort;

    static constexpr int kPollIntervalConnectingMs = 3000;
    static constexpr int kPollIntervalConnectedMs = 10000;
    static constexpr int kConnectTimeoutPolls = 31;
    static constexpr int kHelperWaitMs = 1000;
    static constexpr int kStopDelayMs = 500;

    // Number of OpenVPN start workers still running (tests wait for them).
    int runningStarts() const { return runningStarts_.load(); }

    // The machine's uplink changed, or it is about to sleep (reconnectNow false) or has resumed.
    // Only a change seen while a tunnel is up counts. OpenVPN and OpenConnect are asked to
    // reconnect where they are: the program, its helper instance and so the leak block stay, and
    // the status reads 接続中... until the tunnel is back or the reconnect gives up (a lost tunnel
    // then). A tunnel lost within kReconnectWindowMs of the change is taken back the same way;
    // an L2TP one is started afresh once, with the same protocol and region.
    void noteNetworkChange(bool reconnectNow = true);
    // A working tunnel of `protcol` was lost without the user's stop. True when it is started
    // again (as soon as the machine has an uplink, 接続中... meanwhile; the caller then skips its
    // notice and hand-over); false: carry on as designed.
    bool reconnectAfterLoss(const QString& protcol);
    // Abandons a start still running in the background (the application is ending).
    void cancelStart();

    static constexpr int kReconnectWindowMs = 180000;
    static constexpr int kReconnectDelayMs = 1000;
    // A restart after a loss waits this long at most for the machine's uplink to come back.
    static constexpr int kUplinkWaitMs = 90000;
    static constexpr int kUplinkCheckMs = 2000;
    // Whether the machine has an uplink now; unset: assumed to have one.
    std::function<bool()> uplinkPresent;

signals:
    // Emitted when a connect hands over to a protocol's flow (after the protocol is chosen).
    void attemptStarted(const QString& protcol);

private:
    void stopConnection();
    void startConnection();
    void startProtcol(const QString& protcol); // hands over to the flow of one protocol
    bool runAutomaticCycle(); // false: the cycle gave up, the action ends
    void startL2TP();
    void startOVPNConnection(unsigned attempt, const std::string& user,
                             const std::string& password); // worker
    bool cancelled(unsigned attempt) const;
    void cancelAttempt(unsigned attempt);
    void failAttempt(unsigned attempt, bool showNotice);
    void onOVPNConnected();
    void onOVPNEnded();
    bool reconnectInPlace();
    void enterOVPNReconnect();
    void pollOVPNReconnect(int result, bool channelClosed);
    bool takeRecentNetworkChange();
    void restartWhenUplinkIsBack();
    bool cancelPendingRestart();
    void switchDNSToTunnel();
    void restoreDNS(int helperFd);
    void schedulePoll(int intervalMs);

    ConnectionHost* app_;
    std::atomic<unsigned> attempt_{0};
    std::atomic<int> runningStarts_{0};
    // Attempts started from this window, of any protocol: a delayed hand-over to the next protocol
    // acts only if no attempt started after the one that failed.
    unsigned started_ = 0;
    bool dnsSwitched_ = false;
    bool networkChanged_ = false;
    bool ovpnReconnecting_ = false; // openvpn restarting in place after a network change
    std::string connectedAt_;       // openvpn's time of the CONNECTED state last reported
    QElapsedTimer networkChange_; // monotonic: the time asleep does not count
    QString pendingRestart_;      // the protocol started again once the uplink is back
    QElapsedTimer restartWait_;
};

// In automatic mode, starts the next attempt of the protocol cycle by clicking the connect button.
void goNext();
// The failure notice (manual mode only, at the call sites).
void showConnectFailureNotice();
