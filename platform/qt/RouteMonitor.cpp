#include "platform/qt/RouteMonitor.h"

#include <QSocketNotifier>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/if_arp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

template <typename T>
std::optional<T> attributeValue(const rtattr* a) {
    if (RTA_PAYLOAD(a) < sizeof(T)) return std::nullopt;
    T value;
    std::memcpy(&value, RTA_DATA(a), sizeof value);
    return value;
}

std::string addressText(int family, const rtattr* a) {
    const size_t size = family == AF_INET ? 4 : 16;
    if (RTA_PAYLOAD(a) < size) return {};
    char text[INET6_ADDRSTRLEN] = {};
    return inet_ntop(family, RTA_DATA(a), text, sizeof text) ? text : "";
}

int familySlot(int family) { return family == AF_INET ? 0 : family == AF_INET6 ? 1 : -1; }

constexpr int kDumpWaitMs = 1000;

} // namespace

bool UplinkModel::isTunnel(int device) const {
    const auto it = links_.find(device);
    if (it == links_.end()) return false;
    const Link& l = it->second;
    return (l.flags & IFF_POINTOPOINT) != 0 || l.type == ARPHRD_NONE || l.type == ARPHRD_PPP ||
           l.type == ARPHRD_TUNNEL || l.type == ARPHRD_TUNNEL6;
}

bool UplinkModel::isUplinkDevice(int device) const {
    for (const auto& route : uplink_)
        if (route && route->device == device) return true;
    return false;
}

bool UplinkModel::onLink(const void* message, bool added) {
    const auto* ifi = static_cast<const ifinfomsg*>(message);
    const int device = ifi->ifi_index;
    if (!added) {
        const bool uplink = isUplinkDevice(device);
        links_.erase(device);
        addresses_.erase(device);
        forgetDefaults(device, 0);
        forgetDefaults(device, 1);
        return uplink;
    }
    const auto previous = links_.find(device);
    const bool hadCarrier = previous != links_.end() && (previous->second.flags & IFF_LOWER_UP) != 0;
    links_[device] = Link{ifi->ifi_flags, ifi->ifi_type};
    // Lost, or back: either way the tunnel's way to its server is another one now.
    const bool hasCarrier = (ifi->ifi_flags & IFF_LOWER_UP) != 0;
    return previous != links_.end() && hadCarrier != hasCarrier && isUplinkDevice(device);
}

bool UplinkModel::onAddress(const void* message, bool added) {
    const auto* ifa = static_cast<const ifaddrmsg*>(message);
    // Link-local addresses and IPv6 privacy addresses (renewed every few hours) say nothing of the
    // network the machine is on.
    if (ifa->ifa_scope != RT_SCOPE_UNIVERSE || (ifa->ifa_flags & IFA_F_TEMPORARY) != 0) return false;
    const auto* h = reinterpret_cast<const nlmsghdr*>(static_cast<const char*>(message) - NLMSG_HDRLEN);
    int left = static_cast<int>(IFA_PAYLOAD(h));
    std::string local, peer;
    for (auto* a = IFA_RTA(ifa); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
        if (a->rta_type == IFA_LOCAL) local = addressText(ifa->ifa_family, a);
        if (a->rta_type == IFA_ADDRESS) peer = addressText(ifa->ifa_family, a);
        if (a->rta_type == IFA_FLAGS && (attributeValue<uint32_t>(a).value_or(0) & IFA_F_TEMPORARY) != 0)
            return false;
    }
    const std::string& text = local.empty() ? peer : local;
    if (text.empty()) return false;
    const std::string key = text + "/" + std::to_string(ifa->ifa_prefixlen);
    auto& set = addresses_[static_cast<int>(ifa->ifa_index)];
    const bool changed = added ? set.insert(key).second : set.erase(key) > 0;
    const bool uplink = isUplinkDevice(static_cast<int>(ifa->ifa_index));
    // The kernel drops the routes through an address taken away without telling.
    const bool v6 = ifa->ifa_family == AF_INET6;
    if (!added && std::none_of(set.begin(), set.end(), [v6](const std::string& k) { return (k.find(':') != std::string::npos) == v6; }))
        forgetDefaults(static_cast<int>(ifa->ifa_index), v6 ? 1 : 0);
    return changed && uplink;
}

bool UplinkModel::onRoute(const void* message, bool added) {
    const auto* rt = static_cast<const rtmsg*>(message);
    const int slot = familySlot(rt->rtm_family);
    if (slot < 0 || rt->rtm_dst_len != 0 || rt->rtm_type != RTN_UNICAST) return false;
    const auto* h = reinterpret_cast<const nlmsghdr*>(static_cast<const char*>(message) - NLMSG_HDRLEN);
    unsigned table = rt->rtm_table;
    Route seen;
    uint32_t priority = 0;
    int left = static_cast<int>(RTM_PAYLOAD(h));
    for (auto* a = RTM_RTA(rt); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
        if (a->rta_type == RTA_TABLE) table = attributeValue<uint32_t>(a).value_or(table);
        if (a->rta_type == RTA_OIF) seen.device = attributeValue<int>(a).value_or(0);
        if (a->rta_type == RTA_GATEWAY) seen.gateway = addressText(rt->rtm_family, a);
        if (a->rta_type == RTA_PRIORITY) priority = attributeValue<uint32_t>(a).value_or(0);
    }
    if (table != RT_TABLE_MAIN || isTunnel(seen.device)) return false;
    const auto s = static_cast<size_t>(slot);
    const auto key = std::make_pair(seen.device, seen.gateway);
    if (added)
        defaults_[s][key] = Metric{priority, ++routesSeen_};
    else
        defaults_[s].erase(key);
    const std::optional<Route> now = inUse(s);
    // None left: a tunnel's start took it out (a real loss comes with the carrier or addresses).
    if (!now || uplink_[s] == now) return false;
    uplink_[s] = now;
    return true;
}

void UplinkModel::forgetDefaults(int device, size_t slot) {
    std::erase_if(defaults_[slot], [device](const auto& entry) { return entry.first.first == device; });
}

std::optional<UplinkModel::Route> UplinkModel::inUse(size_t slot) const {
    std::optional<Route> best;
    Metric bestMetric;
    for (const auto& [key, metric] : defaults_[slot]) {
        if (best && (metric.priority > bestMetric.priority ||
                     (metric.priority == bestMetric.priority && metric.order < bestMetric.order)))
            continue;
        best = Route{key.first, key.second};
        bestMetric = metric;
    }
    return best;
}

bool UplinkModel::hasUplink() const {
    for (size_t slot = 0; slot < defaults_.size(); ++slot) {
        const std::optional<Route> now = inUse(slot);
        if (!now) continue;
        const auto link = links_.find(now->device);
        if (link != links_.end() && (link->second.flags & IFF_LOWER_UP) != 0) return true;
    }
    return false;
}

bool UplinkModel::feed(const void* data, size_t length, bool priming) {
    if (!data || length > static_cast<size_t>(INT32_MAX)) return false;
    bool changed = false;
    int left = static_cast<int>(length);
    for (auto* h = static_cast<const nlmsghdr*>(data); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
        const void* body = NLMSG_DATA(h);
        bool c = false;
        switch (h->nlmsg_type) {
        case RTM_NEWLINK:
        case RTM_DELLINK:
            if (h->nlmsg_len >= NLMSG_LENGTH(sizeof(ifinfomsg))) c = onLink(body, h->nlmsg_type == RTM_NEWLINK);
            break;
        case RTM_NEWADDR:
        case RTM_DELADDR:
            if (h->nlmsg_len >= NLMSG_LENGTH(sizeof(ifaddrmsg))) c = onAddress(body, h->nlmsg_type == RTM_NEWADDR);
            break;
        case RTM_NEWROUTE:
        case RTM_DELROUTE:
            // A removed default is no change by itself: a tunnel's start removes the uplink's,
            // and a real loss comes with the device's carrier or addresses.
            if (h->nlmsg_len >= NLMSG_LENGTH(sizeof(rtmsg))) c = onRoute(body, h->nlmsg_type == RTM_NEWROUTE);
            break;
        default:
            break;
        }
        changed = changed || c;
    }
    return changed && !priming;
}

RouteMonitor::RouteMonitor(QObject* parent) : QObject(parent) {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) return;
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return;
    }
    fd_ = fd;
    // What the uplink is now; links first, so that routes through tunnels are known as such.
    for (int type : {RTM_GETLINK, RTM_GETADDR, RTM_GETROUTE})
        learn(type);
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        if (readMessages()) emit uplinkChanged();
    });
}

RouteMonitor::~RouteMonitor() {
    if (fd_ >= 0) ::close(fd_);
}

bool RouteMonitor::learn(int type) {
    struct {
        nlmsghdr h;
        rtgenmsg g;
    } request{};
    request.h.nlmsg_len = NLMSG_LENGTH(sizeof(rtgenmsg));
    request.h.nlmsg_type = static_cast<uint16_t>(type);
    request.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.h.nlmsg_seq = static_cast<uint32_t>(type);
    request.g.rtgen_family = AF_UNSPEC;
    if (::send(fd_, &request, request.h.nlmsg_len, 0) < 0) return false;
    alignas(nlmsghdr) char buf[32768];
    // Bounded in rounds and time: a dump that never ends leaves the state half learnt, not the
    // GUI thread stuck.
    for (int round = 0; round < 256; ++round) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, kDumpWaitMs) <= 0) return false;
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        model_.feed(buf, static_cast<size_t>(n), true);
        int left = static_cast<int>(n);
        for (auto* h = reinterpret_cast<const nlmsghdr*>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left))
            if (h->nlmsg_seq == request.h.nlmsg_seq && (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR))
                return h->nlmsg_type == NLMSG_DONE;
    }
    return false;
}

bool RouteMonitor::readMessages() {
    alignas(nlmsghdr) char buf[32768];
    bool changed = false, lost = false;
    // Bounded: a busy routing table must not keep the GUI thread here.
    for (int round = 0; round < 64; ++round) {
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == ENOBUFS) {
            lost = true;
            continue;
        }
        if (n <= 0) break;
        changed = model_.feed(buf, static_cast<size_t>(n)) || changed;
    }
    if (lost) {
        // Messages were lost: learn the state again, and assume the worst.
        for (int type : {RTM_GETLINK, RTM_GETADDR, RTM_GETROUTE})
            learn(type);
        changed = true;
    }
    return changed;
}
