#pragma once
#include "helper/UniqueFd.h"

#include <sys/types.h>

// What keeps one local user from holding the helper's instances or flooding its log. Each instance
// serves one connection; the limits are kept where only root can reach them (beside the tunnel
// records), as locks and small counters that every instance shares.
namespace helper {

// At most this many live instances per uid other than root; more are refused before anything runs.
inline constexpr int kMaxInstancesPerUid = 4;

// One of the uid's instance slots, held (as a lock on a file of its own) for the life of this
// process: the kernel frees it however the process ends.
class InstanceSlot {
public:
    // False when all kMaxInstancesPerUid slots of uid are held by live instances, or when the
    // slots cannot be kept (then the instance is refused too: no limit, no service).
    bool acquire(uid_t uid);

private:
    UniqueFd lock_;
};

// For the "not allowed" log line: at most one line per uid and second. Returns -1 when this refusal
// is not to be logged (counted instead), else how many went unlogged since the last line.
long refusalsToReport(uid_t uid);

} // namespace helper
