#pragma once
#include <QObject>
#include <cstddef>

class QSocketNotifier;

// Changes of the default route (IPv4 or IPv6, main table), from the kernel's routing netlink
// group: the machine moved to another network, or lost one.
class RouteMonitor : public QObject {
    Q_OBJECT
public:
    // Listens in the network namespace of the calling thread. isWatching() is false when the
    // netlink socket cannot be opened.
    explicit RouteMonitor(QObject* parent = nullptr);
    ~RouteMonitor() override;
    bool isWatching() const { return fd_ >= 0; }

    // True when the netlink datagram adds or removes a default route of the main table.
    static bool announcesDefaultRouteChange(const void* data, size_t length);

signals:
    void defaultRouteChanged();

private:
    void readMessages();
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
};
