#pragma once
#include "helper/UniqueFd.h"
#include "helper/UserRights.h"
#include "platform/FileIO.h"

#include <fcntl.h>
#include <string>
#include <sys/types.h>

// A folder of the user's working folder (R/OpenVPN, R/openconnect) as the helper touches it: with
// the user's own rights (AsUser), never root's. The root path is resolved without following a
// magic link (/proc/PID/root, /proc/PID/fd/N, …) and never under /proc; below it nothing crosses
// into another mount or follows a link. The folder is opened once and held, so that renaming or
// replacing a folder on the way cannot redirect what follows, and accepted only when it belongs to
// the user. Files are read only when they are the user's own plain files (no link, FIFO, device,
// socket or second name; a device is never opened, not even to look at it), and written only as
// fresh files the helper creates itself.
namespace helper {

class WorkingFolder {
public:
    // sub: "OpenVPN" or "openconnect" below the root path. False (with reason) when refused.
    bool open(const std::string& rootPath, const char* sub, const Credentials& user, std::string& reason);

    int fd() const { return dir_.get(); }
    // The folder for a child's working directory: /proc/self/fd/N resolves to this very folder.
    std::string childPath() const;

    // An existing plain file of the user's in the folder, for reading.
    UniqueFd openOwnedForReading(const char* name, std::string& reason) const;
    // The whole of such a file below the folder (a relative path without ".."), at most limit bytes.
    bool readOwnedFile(const std::string& relative, size_t limit, std::string& content,
                       std::string& reason) const;
    // A new file, created by the user's rights in place of whatever the name held (a link is
    // removed, not followed), opened with access (O_WRONLY or O_RDWR).
    UniqueFd createFresh(const char* name, mode_t mode, std::string& reason, int access = O_WRONLY) const;
    // Removes the name itself; an absent name is fine.
    void remove(const char* name) const;

private:
    UniqueFd openPlainFile(const std::string& relative, std::string& reason) const;

    UniqueFd dir_;
    Credentials user_;
};

using platform::readAll;
using platform::writeAll;

} // namespace helper
