#include "helper/UserRights.h"

#include <cerrno>
#include <grp.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <unistd.h>

namespace helper {

bool peerCredentials(int fd, Credentials& out) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return false;
    out.uid = cred.uid;
    out.gid = cred.gid;
    // ERANGE tells how much room the groups need: asked again once with that.
    for (size_t room : {size_t{64}, size_t{0}}) {
        out.groups.assign(room ? room : len / sizeof(gid_t), 0);
        len = static_cast<socklen_t>(out.groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, out.groups.data(), &len) == 0) {
            out.groups.resize(len / sizeof(gid_t));
            return true;
        }
        if (errno != ERANGE) break;
    }
    out.groups.clear();
    return true;
}

AsUser::AsUser(const Credentials& who) {
    if (who.uid == 0) {
        active_ = true;
        return;
    }
    const int n = ::getgroups(0, nullptr);
    rootGroups_.resize(n > 0 ? static_cast<size_t>(n) : 0);
    if (n < 0 || ::getgroups(n, rootGroups_.data()) != n) return;
    switched_ = true;
    if (::setgroups(who.groups.size(), who.groups.data()) != 0) return;
    // setfsuid/setfsgid report the previous value; an impossible id asks for the current one.
    ::setfsgid(who.gid);
    if (static_cast<gid_t>(::setfsgid(static_cast<gid_t>(-1))) != who.gid) return;
    ::setfsuid(who.uid);
    if (static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))) != who.uid) return;
    active_ = true;
}

AsUser::~AsUser() {
    if (!switched_) return;
    ::setfsuid(::geteuid());
    ::setfsgid(::getegid());
    ::setgroups(rootGroups_.size(), rootGroups_.data());
}

} // namespace helper
