#include "helper/PeerCheck.h"

#include "helper/UserRights.h"

namespace helper {

bool peerUid(int fd, uid_t& uid) {
    Credentials peer;
    if (!peerCredentials(fd, peer)) return false;
    uid = peer.uid;
    return true;
}

bool peerAllowed(int fd, const std::string& allowFile, uid_t* uidOut) {
    uid_t uid;
    if (!peerUid(fd, uid)) return false;
    if (uidOut) *uidOut = uid;
    return uidAllowed(uid, allowFile);
}

bool uidAllowed(uid_t uid, const std::string& allowFile) {
    return uid == 0 || loadAllowedUids(allowFile).count(uid) != 0;
}

} // namespace helper
