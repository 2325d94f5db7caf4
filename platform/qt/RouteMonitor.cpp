#include "platform/qt/RouteMonitor.h"

#include <QSocketNotifier>
#include <cerrno>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

RouteMonitor::RouteMonitor(QObject* parent) : QObject(parent) {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) return;
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return;
    }
    fd_ = fd;
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { readMessages(); });
}

RouteMonitor::~RouteMonitor() {
    if (fd_ >= 0) ::close(fd_);
}

bool RouteMonitor::announcesDefaultRouteChange(const void* data, size_t length) {
    if (!data || length > static_cast<size_t>(INT32_MAX)) return false;
    int left = static_cast<int>(length);
    for (auto* h = static_cast<const nlmsghdr*>(data); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
        if (h->nlmsg_type != RTM_NEWROUTE && h->nlmsg_type != RTM_DELROUTE) continue;
        if (h->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) continue;
        const auto* rt = static_cast<const rtmsg*>(NLMSG_DATA(h));
        if (rt->rtm_dst_len != 0 || rt->rtm_type != RTN_UNICAST) continue;
        unsigned table = rt->rtm_table;
        int attrLen = static_cast<int>(RTM_PAYLOAD(h));
        for (auto* a = RTM_RTA(rt); RTA_OK(a, attrLen); a = RTA_NEXT(a, attrLen)) {
            if (a->rta_type == RTA_TABLE && RTA_PAYLOAD(a) >= sizeof(uint32_t))
                table = *static_cast<const uint32_t*>(RTA_DATA(a));
        }
        if (table == RT_TABLE_MAIN) return true;
    }
    return false;
}

void RouteMonitor::readMessages() {
    alignas(nlmsghdr) char buf[16384];
    bool changed = false;
    // Bounded: a busy routing table must not keep the GUI thread here.
    for (int round = 0; round < 64; ++round) {
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == ENOBUFS) {
            changed = true; // messages were lost: assume the worst
            continue;
        }
        if (n <= 0) break;
        changed = changed || announcesDefaultRouteChange(buf, static_cast<size_t>(n));
    }
    if (changed) emit defaultRouteChanged();
}
