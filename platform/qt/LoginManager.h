#pragma once
#include <QDBusUnixFileDescriptor>
#include <QObject>

// systemd-logind on the system bus: the announcements before a shutdown and around a suspend.
// While the application watches, it holds a "delay" inhibitor for shutdown, so the system waits
// (up to logind's InhibitDelayMaxSec) for the tunnel to be stopped. Without a system bus or
// logind nothing is watched and nothing is announced.
class LoginManager : public QObject {
    Q_OBJECT
public:
    explicit LoginManager(QObject* parent = nullptr);
    ~LoginManager() override;

    bool isWatching() const { return watching_; }
    bool holdsShutdownDelay() const { return delayLock_.isValid(); }
    // Lets a shutdown that waits for us go on.
    void releaseShutdownDelay();

signals:
    void prepareForShutdown(bool starting);
    // false: the machine has just resumed.
    void prepareForSleep(bool starting);
    // The delay inhibitor has been taken (tests wait for it).
    void shutdownDelayTaken();

private slots:
    void onPrepareForShutdown(bool starting);
    void onPrepareForSleep(bool starting);

private:
    void takeShutdownDelay();
    bool watching_ = false;
    QDBusUnixFileDescriptor delayLock_;
};
