#pragma once
#include <QObject>
#include <QString>

// The system VPN service's connection object: NetworkManager's profile with the service's UUID,
// started, stopped and followed over the system D-Bus. Status changes reach the callback on the
// thread that created the object (the GUI thread) as the connection status values below, each
// once per change.
enum SCNetworkConnectionStatus {
    kSCNetworkConnectionInvalid = -1,
    kSCNetworkConnectionDisconnected = 0,
    kSCNetworkConnectionConnecting = 1,
    kSCNetworkConnectionConnected = 2,
    kSCNetworkConnectionDisconnecting = 3,
};

class QDBusMessage;
class QDBusObjectPath;

class SCNetworkConnection : public QObject {
    Q_OBJECT
public:
    using Callback = void (*)(SCNetworkConnection* connection, int status, void* info);

    // Follows an activation of the profile that is already under way, if there is one.
    SCNetworkConnection(const QString& serviceID, Callback callback, void* info, QObject* parent = nullptr);

    const QString& serviceID() const { return serviceID_; }
    int status() const { return status_; }

    // Asks NetworkManager to activate the profile. NetworkManager absent, the profile unknown or the
    // request refused: reported as invalid (after this call has returned), and false.
    bool start();
    // Asks NetworkManager to deactivate it; false when nothing is active.
    bool stop();

private slots:
    void onVpnStateChanged(uint state, uint reason, const QDBusMessage& message);
    void onActiveStateChanged(uint state, uint reason, const QDBusMessage& message);
    void onInterfacesRemoved(const QDBusObjectPath& path, const QStringList& interfaces);
    void onNetworkManagerGone();

private:
    bool ours(const QString& activePath); // the signal's sender is this profile's activation
    void followExisting();
    void catchUp();
    void deliver(int status);
    void deliverLater(int status);
    void ended(int status);

    QString serviceID_, activePath_, endedPath_;
    Callback callback_;
    void* info_;
    int status_ = kSCNetworkConnectionDisconnected;
};
