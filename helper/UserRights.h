#pragma once
#include <sys/types.h>
#include <vector>

// Root touches a user's files only with that user's rights.
namespace helper {

// Whose request it is: the connected peer's uid, gid and supplementary groups.
struct Credentials {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

// The peer's credentials (SO_PEERCRED, SO_PEERGROUPS); false when they cannot be read. Without
// its supplementary groups the peer gets its own uid and gid only: fewer rights, never more.
bool peerCredentials(int fd, Credentials& out);

// For its lifetime the filesystem sees this thread as `who`: the filesystem uid and gid and the
// supplementary groups are the user's, and the kernel drops root's file capabilities with the
// filesystem uid, so every open, create and unlink is checked as the user's own. Root's rights
// come back when it ends. For root nothing changes.
class AsUser {
public:
    explicit AsUser(const Credentials& who);
    ~AsUser();
    AsUser(const AsUser&) = delete;
    AsUser& operator=(const AsUser&) = delete;

    // False when the switch could not be made (nothing is to be opened then).
    bool active() const { return active_; }

private:
    bool active_ = false;
    bool switched_ = false;
    std::vector<gid_t> rootGroups_;
};

} // namespace helper
