#pragma once
// A connection host without the application: the main window's controls the flows use, a status
// line that shows the last status word, and the connected-time timer.
#include "app/catalogue/ServerInfo.h"
#include "app/connection/ConnectionHost.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

class FakeConnectionHost : public ConnectionHost {
public:
    FakeConnectionHost() {
        window = new QWidget;
        connectButton = new QPushButton(window);
        serverSelButton = new QPushButton(window);
        ipaddrText = new QLabel(window);
        connectedTimeText = new QLabel(window);
        statusText = new QLabel(window);
        setConnectionHost(this);
    }
    ~FakeConnectionHost() override {
        stopConnectedTimer();
        delete window;
    }

    void updateStatus(const QString& status) override {
        statusText->setText(status);
        if (status == "接続中") {
            _vpnStatus = TAVROVPNStatus::connected;
        } else if (status == "接続中...") {
            _vpnStatus = TAVROVPNStatus::connecting;
        } else {
            _vpnStatus = TAVROVPNStatus::disconnected;
            serverSelButton->setEnabled(true);
        }
    }
    void startConnectedTimer() override {
        stopConnectedTimer();
        _connectedDate = QDateTime::currentDateTime();
        _updateTimeTimer = new QTimer;
        _updateTimeTimer->start(1000);
    }
    void stopConnectedTimer() override {
        if (!_updateTimeTimer) return;
        delete _updateTimeTimer;
        _updateTimeTimer = nullptr;
        _connectedDate.reset();
    }
    void updateRegionDisp(const RegionInfo& reginfo) override { shownRegion = reginfo.Region; }

    QLabel* statusText = nullptr;
    std::string shownRegion;
};
