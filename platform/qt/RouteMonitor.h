#pragma once
#include <QObject>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

class QSocketNotifier;

// The machine's uplink as the kernel's routing netlink messages describe it: the default route
// through a device that is not a tunnel, that device's carrier and its addresses. The routes a
// tunnel's own start or end puts in or takes out (a default through tun0 or ppp0, the uplink's
// default removed and later put back as it was) leave it unchanged.
class UplinkModel {
public:
    // Reads one datagram of link, address and route messages. True when the uplink changed: its
    // default route now goes through another device or gateway, its device lost its carrier or
    // went away, or an address was added to it or removed from it. While priming (the initial
    // dump) the state is learnt and nothing counts as a change.
    bool feed(const void* data, size_t length, bool priming = false);
    // A default route through a device that is not a tunnel is in place now, on a device with
    // its carrier: the machine can reach a server.
    bool hasUplink() const;

private:
    struct Link {
        unsigned flags = 0;
        unsigned short type = 0;
    };
    struct Route {
        int device = 0;
        std::string gateway;
        bool operator==(const Route&) const = default;
    };
    bool isTunnel(int device) const;
    bool isUplinkDevice(int device) const;
    bool onLink(const void* message, bool added);
    bool onAddress(const void* message, bool added);
    bool onRoute(const void* message, bool added);

    std::map<int, Link> links_;
    std::map<int, std::set<std::string>> addresses_;
    // The default routes in place through devices that are not tunnels, per family (IPv4, IPv6):
    // their metric and the order they came in. The one in use has the lowest metric (the newest
    // of equals).
    struct Metric {
        uint32_t priority = 0;
        uint64_t order = 0;
    };
    std::array<std::map<std::pair<int, std::string>, Metric>, 2> defaults_;
    uint64_t routesSeen_ = 0;
    std::optional<Route> inUse(size_t slot) const;
    void forgetDefaults(int device, size_t slot);
    // The uplink's default, per family. It is remembered when removed: a tunnel's start removes it
    // and its end puts the same one back.
    std::array<std::optional<Route>, 2> uplink_;
};

// Changes of the uplink (see UplinkModel), from the kernel's routing netlink groups.
class RouteMonitor : public QObject {
    Q_OBJECT
public:
    // Listens in the network namespace of the calling thread. isWatching() is false when the
    // netlink socket cannot be opened.
    explicit RouteMonitor(QObject* parent = nullptr);
    ~RouteMonitor() override;
    bool isWatching() const { return fd_ >= 0; }
    bool hasUplink() const { return model_.hasUplink(); }

signals:
    void uplinkChanged();

private:
    bool learn(int type);
    bool readMessages();
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    UplinkModel model_;
};
