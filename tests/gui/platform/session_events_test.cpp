// What can end the application or break its tunnel from outside, seen through the real channels:
// termination signals raised at this process, logind's announcements over a private bus with a
// stand-in logind on it, and default-route changes in a network namespace of the test's own.
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
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
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

// A netlink datagram holding one route message of the given kind.
std::vector<char> routeMessage(uint16_t type, unsigned char dstLen, unsigned char table,
                               unsigned char rtType) {
    std::vector<char> buf(NLMSG_SPACE(sizeof(rtmsg)), 0);
    auto* h = reinterpret_cast<nlmsghdr*>(buf.data());
    h->nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    h->nlmsg_type = type;
    auto* rt = static_cast<rtmsg*>(NLMSG_DATA(h));
    rt->rtm_family = AF_INET;
    rt->rtm_dst_len = dstLen;
    rt->rtm_table = table;
    rt->rtm_type = rtType;
    return buf;
}

TEST(RouteMonitor, DefaultRoutesOfTheMainTableCountAndNothingElse) {
    struct Case {
        const char* name;
        std::vector<char> message;
        bool counts;
    } cases[] = {
        {"new default", routeMessage(RTM_NEWROUTE, 0, RT_TABLE_MAIN, RTN_UNICAST), true},
        {"removed default", routeMessage(RTM_DELROUTE, 0, RT_TABLE_MAIN, RTN_UNICAST), true},
        {"a subnet", routeMessage(RTM_NEWROUTE, 24, RT_TABLE_MAIN, RTN_UNICAST), false},
        {"the local table", routeMessage(RTM_NEWROUTE, 0, RT_TABLE_LOCAL, RTN_UNICAST), false},
        {"unreachable default", routeMessage(RTM_NEWROUTE, 0, RT_TABLE_MAIN, RTN_UNREACHABLE), false},
        {"a link message", routeMessage(RTM_NEWLINK, 0, RT_TABLE_MAIN, RTN_UNICAST), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(RouteMonitor::announcesDefaultRouteChange(c.message.data(), c.message.size()), c.counts)
            << c.name;
    // Cut or hostile datagrams are read safely.
    const auto whole = routeMessage(RTM_NEWROUTE, 0, RT_TABLE_MAIN, RTN_UNICAST);
    for (size_t n = 0; n < whole.size(); ++n)
        EXPECT_FALSE(RouteMonitor::announcesDefaultRouteChange(whole.data(), n)) << n;
    auto lying = whole;
    reinterpret_cast<nlmsghdr*>(lying.data())->nlmsg_len = 1u << 30;
    EXPECT_FALSE(RouteMonitor::announcesDefaultRouteChange(lying.data(), lying.size()));
}

TEST(RouteMonitor, SeesTheDefaultRouteOfItsNetworkNamespaceChange) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
    const std::string ns = "tavro-route-" + std::to_string(getpid());
    ASSERT_TRUE(testsupport::run("ip netns add " + ns));
    struct Remove {
        std::string ns;
        ~Remove() { testsupport::run("ip netns del " + ns); }
    } remove{ns};
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
    QSignalSpy changed(monitor.get(), &RouteMonitor::defaultRouteChanged);

    EXPECT_TRUE(testsupport::run("ip -n " + ns + " link set lo up"));
    QApplication::processEvents(QEventLoop::AllEvents, 200);
    EXPECT_EQ(changed.count(), 0) << "bringing up a link is no default-route change";
    EXPECT_TRUE(testsupport::run("ip -n " + ns + " route add default dev lo"));
    EXPECT_TRUE(processUntil([&] { return changed.count() >= 1; }));
    const int afterAdd = changed.count();
    EXPECT_TRUE(testsupport::run("ip -n " + ns + " route del default dev lo"));
    EXPECT_TRUE(processUntil([&] { return changed.count() > afterAdd; }));
}

} // namespace
