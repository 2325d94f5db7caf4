// What can end the application or break its tunnel from outside, seen through the real channels:
// termination signals raised at this process, logind's announcements over a private bus with a
// stand-in logind on it, and uplink changes in a network namespace of the test's own.
#include "EventLoopWait.h"
#include "FakeLogind.h"
#include "ProcessUtil.h"
#include "platform/qt/LoginManager.h"
#include "platform/qt/RouteMonitor.h"
#include "platform/qt/TerminationSignals.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using testsupport::processUntil;

TEST(TerminationSignals, EachEndingSignalArrivesOnTheGuiThread) {
    TerminationSignals* watcher = TerminationSignals::install();
    ASSERT_NE(watcher, nullptr);
    EXPECT_EQ(TerminationSignals::install(), watcher);
    QSignalSpy spy(watcher, &TerminationSignals::received);
    for (int signo : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signo);
        spy.clear();
        ASSERT_EQ(::raise(signo), 0); // the handler only notes it: the process goes on
        ASSERT_TRUE(processUntil([&] { return spy.count() == 1; }));
        EXPECT_EQ(spy.at(0).at(0).toInt(), signo);
    }
    delete watcher; // the default dispositions are back
    struct sigaction sa {};
    sigaction(SIGTERM, nullptr, &sa);
    EXPECT_EQ(sa.sa_handler, SIG_DFL);
}

TEST(LoginManagerOnAPrivateBus, AnnouncementsFromLogindOnlyAndAShutdownDelayHeldUntilReleased) {
    FakeLogind logind;
    ASSERT_TRUE(logind.start()) << "dbus-daemon is needed (package dbus-daemon)";

    LoginManager manager;
    ASSERT_TRUE(manager.isWatching());
    QSignalSpy sleep(&manager, &LoginManager::prepareForSleep);
    QSignalSpy shutdown(&manager, &LoginManager::prepareForShutdown);
    ASSERT_TRUE(processUntil([&] { return manager.holdsShutdownDelay(); }));
    EXPECT_EQ(logind.inhibitArgs, (QStringList{"shutdown", "TavroVPN", "VPN接続を切断しています", "delay"}));
    EXPECT_FALSE(logind.lockReleased());

    // Anyone else on the bus saying the same is not logind.
    QDBusConnection other = QDBusConnection::connectToBus(QString::fromStdString(logind.address), "impostor");
    ASSERT_TRUE(logind.announce("PrepareForShutdown", true, &other));
    ASSERT_TRUE(logind.announce("PrepareForSleep", false));
    ASSERT_TRUE(processUntil([&] { return sleep.count() == 1; }));
    EXPECT_FALSE(sleep.at(0).at(0).toBool());
    EXPECT_EQ(shutdown.count(), 0);

    ASSERT_TRUE(logind.announce("PrepareForShutdown", true));
    ASSERT_TRUE(processUntil([&] { return shutdown.count() == 1; }));
    EXPECT_TRUE(shutdown.at(0).at(0).toBool());
    manager.releaseShutdownDelay();
    EXPECT_TRUE(processUntil([&] { return logind.lockReleased(); }));
    QDBusConnection::disconnectFromBus("impostor");
}

// Netlink datagrams of one message each, as the kernel sends them.
struct Netlink {
    std::vector<char> buf;
    template <typename Body>
    Body* start(uint16_t type) {
        buf.assign(NLMSG_SPACE(sizeof(Body)), 0);
        auto* h = reinterpret_cast<nlmsghdr*>(buf.data());
        h->nlmsg_len = NLMSG_LENGTH(sizeof(Body));
        h->nlmsg_type = type;
        return reinterpret_cast<Body*>(NLMSG_DATA(h));
    }
    void attribute(uint16_t type, const void* data, size_t size) {
        const size_t at = NLMSG_ALIGN(buf.size());
        buf.resize(at + RTA_SPACE(size), 0);
        auto* a = reinterpret_cast<rtattr*>(buf.data() + at);
        a->rta_type = type;
        a->rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
        std::memcpy(RTA_DATA(a), data, size);
        reinterpret_cast<nlmsghdr*>(buf.data())->nlmsg_len = static_cast<uint32_t>(buf.size());
    }
    void address(uint16_t type, int family, const char* text) {
        unsigned char bytes[16] = {};
        inet_pton(family, text, bytes);
        attribute(type, bytes, family == AF_INET ? 4 : 16);
    }
};

Netlink link(uint16_t type, int device, unsigned flags, unsigned short arphrd = ARPHRD_ETHER) {
    Netlink m;
    auto* i = m.start<ifinfomsg>(type);
    i->ifi_index = device;
    i->ifi_flags = flags;
    i->ifi_type = arphrd;
    return m;
}

Netlink address(uint16_t type, int device, const char* text, unsigned char scope = RT_SCOPE_UNIVERSE,
                unsigned char flags = 0) {
    Netlink m;
    const int family = std::strchr(text, ':') ? AF_INET6 : AF_INET;
    auto* i = m.start<ifaddrmsg>(type);
    i->ifa_family = static_cast<unsigned char>(family);
    i->ifa_prefixlen = family == AF_INET ? 24 : 64;
    i->ifa_scope = scope;
    i->ifa_flags = flags;
    i->ifa_index = static_cast<unsigned>(device);
    m.address(IFA_LOCAL, family, text);
    return m;
}

Netlink route(uint16_t type, int device, const char* gateway, unsigned char dstLen = 0,
              unsigned char table = RT_TABLE_MAIN, unsigned char rtType = RTN_UNICAST, uint32_t metric = 0) {
    Netlink m;
    const int family = gateway && std::strchr(gateway, ':') ? AF_INET6 : AF_INET;
    auto* r = m.start<rtmsg>(type);
    r->rtm_family = static_cast<unsigned char>(family);
    r->rtm_dst_len = dstLen;
    r->rtm_table = table;
    r->rtm_type = rtType;
    m.attribute(RTA_OIF, &device, sizeof device);
    if (gateway) m.address(RTA_GATEWAY, family, gateway);
    if (metric) m.attribute(RTA_PRIORITY, &metric, sizeof metric);
    return m;
}

constexpr unsigned kUp = IFF_UP | IFF_RUNNING | IFF_LOWER_UP;
constexpr int kEth = 2, kWifi = 3, kTun = 5;

// What counts as the machine changing networks, and what is only a tunnel's own start or end. Each
// case starts from an uplink eth (10.0.2.15/24, default via 10.0.2.2).
TEST(RouteMonitor, OnlyTheUplinksRouteCarrierOrAddressesCountAsANetworkChange) {
    const auto tunUp = link(RTM_NEWLINK, kTun, kUp | IFF_POINTOPOINT, ARPHRD_NONE);
    struct Step {
        Netlink message;
        bool changes;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    } cases[] = {
        {"a tunnel's default through tun0, and its end putting the uplink's back",
         {{tunUp, false},
          {address(RTM_NEWADDR, kTun, "10.8.0.2"), false},
          {route(RTM_NEWROUTE, kTun, nullptr), false},
          {route(RTM_DELROUTE, kTun, nullptr), false},
          {link(RTM_DELLINK, kTun, 0, ARPHRD_NONE), false},
          {route(RTM_NEWROUTE, kEth, "10.0.2.2"), false}}},
        {"openvpn's redirect-gateway without def1",
         {{tunUp, false},
          {route(RTM_DELROUTE, kEth, "10.0.2.2"), false},
          {route(RTM_NEWROUTE, kTun, "10.8.0.1"), false},
          {route(RTM_NEWROUTE, kEth, "10.0.2.2"), false}}},
        {"a lease renewed: the same address and route again",
         {{address(RTM_NEWADDR, kEth, "10.0.2.15"), false}, {route(RTM_NEWROUTE, kEth, "10.0.2.2"), false}}},
        {"privacy and link-local addresses, other tables and routes",
         {{address(RTM_NEWADDR, kEth, "2001:db8::99", RT_SCOPE_UNIVERSE, IFA_F_TEMPORARY), false},
          {address(RTM_NEWADDR, kEth, "fe80::1", RT_SCOPE_LINK), false},
          {route(RTM_NEWROUTE, kEth, "10.0.2.1", 0, RT_TABLE_LOCAL), false},
          {route(RTM_NEWROUTE, kEth, "10.0.2.1", 24), false},
          {route(RTM_NEWROUTE, kEth, nullptr, 0, RT_TABLE_MAIN, RTN_UNREACHABLE), false},
          {address(RTM_NEWADDR, kWifi, "192.168.1.20"), false}}},
        {"the uplink's carrier lost, then back",
         {{link(RTM_NEWLINK, kEth, IFF_UP), true}, {link(RTM_NEWLINK, kEth, kUp), true}}},
        {"the uplink's address changed",
         {{address(RTM_DELADDR, kEth, "10.0.2.15"), true}, {address(RTM_NEWADDR, kEth, "10.0.3.15"), true}}},
        {"a default through another device (Wi-Fi to Ethernet)",
         {{link(RTM_NEWLINK, kWifi, kUp), false}, {route(RTM_NEWROUTE, kWifi, "192.168.1.1"), true}}},
        {"another gateway", {{route(RTM_NEWROUTE, kEth, "10.0.2.1"), true}}},
        {"a second uplink's default with a higher metric, then the first one's taken away",
         {{link(RTM_NEWLINK, kWifi, kUp), false},
          {route(RTM_NEWROUTE, kWifi, "192.168.1.1", 0, RT_TABLE_MAIN, RTN_UNICAST, 600), false},
          {route(RTM_DELROUTE, kEth, "10.0.2.2"), true}}},
        {"the uplink's device removed", {{link(RTM_DELLINK, kEth, 0), true}}},
        {"an IPv6 default beside the IPv4 one",
         {{route(RTM_NEWROUTE, kEth, "fe80::1"), true}, {route(RTM_NEWROUTE, kEth, "fe80::1"), false}}},
    };
    const auto primed = [] {
        UplinkModel model;
        for (const Netlink& m : {link(RTM_NEWLINK, kEth, kUp), address(RTM_NEWADDR, kEth, "10.0.2.15"),
                                 route(RTM_NEWROUTE, kEth, "10.0.2.2")})
            EXPECT_FALSE(model.feed(m.buf.data(), m.buf.size(), true)) << "nothing counts while learning";
        return model;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UplinkModel model = primed();
        int step = 0;
        for (const Step& s : c.steps)
            EXPECT_EQ(model.feed(s.message.buf.data(), s.message.buf.size()), s.changes) << "step " << ++step;
    }
    // Whether a server can be reached at all: a default in place, on a device with its carrier.
    UplinkModel model = primed();
    EXPECT_TRUE(model.hasUplink());
    const std::pair<Netlink, bool> reach[] = {{route(RTM_DELROUTE, kEth, "10.0.2.2"), false},
                                              {route(RTM_NEWROUTE, kEth, "10.0.2.2"), true},
                                              {link(RTM_NEWLINK, kEth, IFF_UP), false},
                                              {link(RTM_NEWLINK, kEth, kUp), true},
                                              {route(RTM_DELROUTE, kTun, nullptr), true}};
    for (const auto& [message, reachable] : reach)
        EXPECT_EQ((model.feed(message.buf.data(), message.buf.size()), model.hasUplink()), reachable);
    // Cut or hostile datagrams are read safely.
    for (const Netlink& m : {address(RTM_DELADDR, kEth, "10.0.2.15"), route(RTM_NEWROUTE, kWifi, "192.0.2.1"),
                             link(RTM_DELLINK, kEth, 0)}) {
        for (size_t n = 0; n < m.buf.size(); ++n) {
            UplinkModel model;
            model.feed(m.buf.data(), n);
        }
        auto lying = m.buf;
        reinterpret_cast<nlmsghdr*>(lying.data())->nlmsg_len = 1u << 30;
        UplinkModel model;
        EXPECT_FALSE(model.feed(lying.data(), lying.size()));
    }
}

// The same with the kernel's own messages, in a network namespace of the test's own: a tunnel's
// default route comes and goes unnoticed, the uplink's new address and lost carrier are noticed.
TEST(RouteMonitor, SeesTheUplinkOfItsNetworkNamespaceChangeAndNotATunnelsRoutes) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
    const std::string ns = "tavro-route-" + std::to_string(getpid());
    ASSERT_TRUE(testsupport::run("ip netns add " + ns));
    struct Remove {
        std::string ns;
        ~Remove() { testsupport::run("ip netns del " + ns); }
    } remove{ns};
    const std::string ip = "ip -n " + ns + " ";
    ASSERT_TRUE(testsupport::run(ip + "link add up0 type veth peer name up1 && " + ip + "link set up1 up && " + ip + "addr add 10.0.2.15/24 dev up0 && " + ip +
                                 "link set up0 up && " + ip + "route add default via 10.0.2.2 dev up0"));
    const int home = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int there = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(home, 0);
    ASSERT_GE(there, 0);
    // The monitor's socket belongs to the namespace the thread is in when it is made.
    ASSERT_EQ(::setns(there, CLONE_NEWNET), 0);
    auto monitor = std::make_unique<RouteMonitor>();
    ASSERT_EQ(::setns(home, CLONE_NEWNET), 0);
    ::close(there);
    ::close(home);
    ASSERT_TRUE(monitor->isWatching());
    QSignalSpy changed(monitor.get(), &RouteMonitor::uplinkChanged);

    ASSERT_TRUE(testsupport::run(ip + "tuntap add tun0 mode tun && " + ip + "link set tun0 up && " + ip +
                                 "addr add 10.8.0.2/24 dev tun0 && " + ip + "route replace default dev tun0"));
    ASSERT_TRUE(testsupport::run(ip + "route replace default via 10.0.2.2 dev up0 && " + ip + "link del tun0"));
    testsupport::settle(300);
    EXPECT_EQ(changed.count(), 0) << "a tunnel's start and end are no network change";
    ASSERT_TRUE(testsupport::run(ip + "addr add 10.0.3.15/24 dev up0"));
    EXPECT_TRUE(processUntil([&] { return changed.count() == 1; }));
    ASSERT_TRUE(testsupport::run(ip + "link set up0 down"));
    EXPECT_TRUE(processUntil([&] { return changed.count() >= 2; }));
}

} // namespace
