#pragma once
#include "helper/UniqueFd.h"
#include "platform/FileIO.h"

#include <string>
#include <sys/types.h>

// A folder of the user's working folder (R/OpenVPN, R/openconnect) as root touches it: opened once
// and held, so that renaming or replacing a folder on the way cannot redirect what follows, and
// accepted only when it belongs to the connected user. Every file in it is opened relative to that
// folder without following a symbolic link, and only when it is a regular file with one link (or
// absent): root never reads, writes or truncates through a name the user planted.
namespace helper {

class WorkingFolder {
public:
    // owner: the uid of the connected peer. False (with reason) when the folder cannot be opened
    // or belongs to someone else.
    bool open(const std::string& path, uid_t owner, std::string& reason);

    int fd() const { return dir_.get(); }
    // The folder for a child's working directory: /proc/self/fd/N resolves to this very folder.
    std::string childPath() const;

    // An existing regular file that belongs to the owner, for reading.
    UniqueFd openOwnedForReading(const char* name, std::string& reason) const;
    // The whole of a file below the folder (relative path; no ".."), read only when neither it nor
    // a folder on the way is a link, and it is a plain file of the owner's (one name, not a FIFO or
    // device) of at most limit bytes; otherwise false with reason.
    bool readOwnedFile(const std::string& relative, size_t limit, std::string& content,
                       std::string& reason) const;
    // A regular file (created with mode when absent) for writing; truncated when asked.
    UniqueFd openForWriting(const char* name, mode_t mode, bool truncate, std::string& reason) const;
    // A new file in place of whatever the name held (a link is removed, not followed).
    UniqueFd createFresh(const char* name, mode_t mode, std::string& reason) const;
    // Removes the name itself; an absent name is fine.
    void remove(const char* name) const;

private:
    UniqueFd dir_;
    uid_t owner_ = 0;
};

using platform::readAll;
using platform::writeAll;

} // namespace helper
