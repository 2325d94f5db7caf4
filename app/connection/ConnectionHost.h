#pragma once
#include <QDateTime>
#include <QString>
#include <optional>

class QLabel;
class QPushButton;
class QTimer;
class QWidget;
struct RegionInfo;

// Connection state, integer-backed.
enum class TAVROVPNStatus : int { disconnected = 0, connecting = 1, connected = 2 };
std::optional<TAVROVPNStatus> makeTAVROVPNStatus(int raw);

// What the connection flows need from the application: the shared connection state, the controls
// they enable and empty, and the status display. The application delegate implements it; the
// flows touch it on the GUI thread only.
class ConnectionHost {
public:
    virtual ~ConnectionHost();

    // Shows a status word ("未接続", "接続中...", "接続中") and sets _vpnStatus from it.
    virtual void updateStatus(const QString& status) = 0;
    // Starts the 1-second connected-time timer (sets _connectedDate and _updateTimeTimer).
    virtual void startConnectedTimer() = 0;
    // Invalidates the timer and clears _connectedDate, when the timer exists.
    virtual void stopConnectedTimer() = 0;
    // Stores and shows the chosen region.
    virtual void updateRegionDisp(const RegionInfo& reginfo) = 0;

    TAVROVPNStatus _vpnStatus = TAVROVPNStatus::disconnected;
    QString _current_protcol;
    bool _isAction = false;
    QString authUsername;
    QString authPassword;
    QTimer* _updateTimeTimer = nullptr;
    std::optional<QDateTime> _connectedDate;

    // Controls of the main window (owned by it).
    QWidget* window = nullptr;
    QPushButton* connectButton = nullptr;
    QPushButton* serverSelButton = nullptr;
    QLabel* ipaddrText = nullptr;
    QLabel* connectedTimeText = nullptr;
};

// The host of the running application (null before it is set up). The pointer may be read from any
// thread; the host itself is used on the GUI thread only.
ConnectionHost* connectionHost();
void setConnectionHost(ConnectionHost* host);
