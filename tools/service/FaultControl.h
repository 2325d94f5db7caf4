#pragma once
#include "tools/service/FaultSet.h"

#include <memory>
#include <mutex>
#include <string>

// The faults in force, kept in a control file so that a test (or the demo) can switch them while the
// service runs: the file is read again for every request and by the listener's watch loop. A missing file
// means no faults. Writers should replace the file atomically (write a temporary file, then rename).
class FaultControl {
public:
    static constexpr std::size_t maxFileBytes = 64 * 1024;

    explicit FaultControl(std::string path);

    const std::string& path() const { return path_; }
    // Writes the set as the control file's new content (used at start for the command-line faults).
    bool write(const FaultSet& set) const;
    // Reads the file again and returns what is in force now.
    std::shared_ptr<const FaultSet> reload();

private:
    std::string path_;
    std::mutex mutex_;
    std::string lastText_;
    std::shared_ptr<const FaultSet> current_;
};
